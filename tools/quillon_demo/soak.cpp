#include "tools/quillon_demo/soak.h"
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <filesystem>
#include <fstream>
#include "platform/text/translatable.h"

#include "app/calibration_dlg.h"
#include "app/main_dlg.h"
#include "app/message_box.h"
#include "tools/quillon_demo/kit_rig.h"
#include "tools/token_service_sim/token_model.h"
#include "tools/virtual_kit/virtual_remote.h"

namespace {

using namespace std::chrono_literals;

// A status line as the window shows it: in the language the demo runs in.
struct ShownText {
    const char* source;
    operator QString() const { return QCoreApplication::translate(kStatusTextContext, source); }
};
using Clock = std::chrono::steady_clock;

const ShownText kIrWorking{"红外接收器设备工作正常"};
const ShownText kIrNotFound{"红外接收器设备未找到"};
const ShownText kGameWorking{"游戏杆接收器设备工作正常"};
const ShownText kGameNotFound{"游戏杆接收器设备未找到"};
const ShownText kTokenOk{"令匙输入成功"};
const ShownText kVerified{"令匙验证通过"};
const ShownText kRefused{"令匙验证不通过，请尝试令匙校准"};
const ShownText kCalWait{"请等待30秒再输入令匙键"};
const ShownText kCalAgain{"请再次输入令匙键"};
const ShownText kCalibrated{"令匙校准通过"};

constexpr auto kPressPeriod = 6s;
constexpr auto kSamplePeriod = 10s;
constexpr auto kReplugPeriod = 5min;
constexpr auto kCalibrationPeriod = 10min;
// The first replug and calibration come early, so a short run has both in its warm-up.
constexpr auto kFirstReplug = 10s;
constexpr auto kFirstCalibration = 20s;
constexpr auto kMaxWarmUp = 10min;
// Tokens in the rotation besides the calibration token. The service takes a password
// once, so a token may be pressed again only in a later 30-second step: seven tokens
// pressed every 6 s come round every 42 s.
constexpr int kRotationTokens = 6;
constexpr KeyId kRemoteKeys[] = {53, 49, 38, 13};
constexpr KeyId kGameKeys[] = {4103, 4097, 4108, 4100};

int OpenFds() {
    std::error_code ec;
    int n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        ++n;
    }
    // The listing's own descriptor is among them.
    return n - 1;
}

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

QString Text(const QWidget* root, const char* name) {
    return ControlText(root, name);
}

}  // namespace

SoakRun::SoakRun(KitRig& rig, std::chrono::seconds duration, std::string outDir, std::FILE* log)
    : m_rig(rig),
      m_duration(duration),
      m_outDir(std::move(outDir)),
      m_log(log),
      m_start(Clock::now()) {
    m_csv = std::fopen((m_outDir + "/soak.csv").c_str(), "w");
    if (m_csv != nullptr)
        std::fprintf(m_csv, "seconds,rss_kb,fds,threads,quiet,presses,failures\n");
    m_events = std::fopen((m_outDir + "/soak-events.csv").c_str(), "w");
    if (m_events != nullptr)
        std::fprintf(m_events, "seconds,event\n");
}

SoakRun::~SoakRun() {
    SetMessageBoxHook({});
    if (m_csv != nullptr)
        std::fclose(m_csv);
    if (m_events != nullptr)
        std::fclose(m_events);
}

bool SoakRun::AddTokens(std::string* error) {
    for (int i = 0; i < kRotationTokens; ++i) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "7000%05d", i);
        VirtualToken token = DemoToken();
        token.serial = serial;
        token.secret.push_back(static_cast<std::uint8_t>(i + 1));
        if (!RunCommand({KitRig::DefaultSimulator(), "--state", m_rig.StateFile(), "--add-token",
                         serial, quillon::tokensim::EncodeHex(token.secret)})) {
            *error = std::string("cannot add token ") + serial + " to the simulator's state";
            return false;
        }
        m_tokens.push_back(std::make_unique<VirtualRemote>(m_rig.kit, std::move(token)));
    }
    return true;
}

double SoakRun::Elapsed() const {
    return std::chrono::duration<double>(Clock::now() - m_start).count();
}

void SoakRun::Log(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(m_log, "[%7.1f s] %s\n", Elapsed(), line);
    std::fflush(m_log);
}

bool SoakRun::Check(bool ok, const std::string& what) {
    if (WaitsAbandoned())
        return false;
    if (!ok) {
        ++m_failures;
        Log("FAIL %s", what.c_str());
        std::printf("soak: [%7.1f s] FAIL %s\n", Elapsed(), what.c_str());
        std::fflush(stdout);
    }
    return ok;
}

void SoakRun::Sample() {
    m_samplePending = false;
    const SoakSample s{Elapsed(), ProcSelfStatus("VmRSS"), OpenFds(),
                       static_cast<int>(ProcSelfStatus("Threads")), m_phase == Phase::Quiet};
    m_samples.push_back(s);
    if (m_csv != nullptr) {
        std::fprintf(m_csv, "%.1f,%ld,%d,%d,%d,%d,%d\n", s.seconds, s.rssKb, s.fds, s.threads,
                     s.quiet ? 1 : 0, m_presses, m_failures);
        std::fflush(m_csv);
    }
}

void SoakRun::OnSampleTimer() {
    // A press or a held key takes a second or two: its sample waits for its end, so
    // that nearly every sample is a quiet one. Replugs and calibrations are sampled
    // as they go, marked busy.
    if (m_phase == Phase::Short) {
        m_samplePending = true;
    } else {
        Sample();
    }
}

void SoakRun::Enter(Phase phase) {
    m_phase = phase;
    if (phase == Phase::Quiet && m_samplePending)
        Sample();
}

void SoakRun::Event(const char* what) {
    if (m_events != nullptr) {
        std::fprintf(m_events, "%.1f,%s\n", Elapsed(), what);
        std::fflush(m_events);
    }
}

bool SoakRun::WaitUntil(Clock::time_point t) {
    ProcessEventsUntil([] { return false; },
                       std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()));
    return !WaitsAbandoned();
}

void SoakRun::InstallBoxHook() {
    SetMessageBoxHook(
        [this](const QString& text, const QString& caption, BoxIcon, BoxButtons buttons) {
            // A real box, shown and closed, so its making and unmaking is soaked too.
            QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok,
                            QApplication::activeWindow());
            box.show();
            ProcessEventsUntil(
                [&] { return box.windowHandle() && box.windowHandle()->isExposed(); }, 5s);
            m_lastBoxText = text;
            Log("message box \"%s\": \"%s\"", caption.toStdString().c_str(),
                text.toStdString().c_str());
            box.close();
            return buttons == BoxButtons::YesNo ? BoxAnswer::Yes : BoxAnswer::Ok;
        });
}

VirtualRemote* SoakRun::NextToken() {
    const std::size_t count = m_tokens.size() + 1;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t k = (m_nextToken + i) % count;
        VirtualRemote* token = k == 0 ? &m_rig.remote : m_tokens[k - 1].get();
        // Never sent, or its password has changed since.
        if (token->LastSentPassword().empty() || token->Step() > token->LastSentStep()) {
            m_nextToken = k + 1;
            return token;
        }
    }
    return nullptr;
}

void SoakRun::PressToken(CMainDlg& dlg, VirtualRemote& token, const QString& expected) {
    dlg.findChild<QPushButton*>("clearButton")->click();
    ProcessEventsUntil([&] { return Text(&dlg, "verifyResultLabel").isEmpty(); }, 2s);
    ++m_presses;
    token.PressTokenKey();
    token.WaitIdle(5s);
    const QString password = QString::fromStdString(token.LastSentPassword());
    const QString serial = QString::fromStdString(token.Serial());
    const bool shown = ProcessEventsUntil(
        [&] {
            return Text(&dlg, "passwordEdit") == password &&
                   !Text(&dlg, "verifyResultLabel").isEmpty();
        },
        15s);
    const std::string what = "token " + token.Serial() + " password " + token.LastSentPassword();
    if (Text(&dlg, "passwordEdit") != password || Text(&dlg, "serialEdit") != serial ||
        Text(&dlg, "tokenStatusLabel") != kTokenOk) {
        ++m_lostFrames;
        Check(false, "token frame lost: " + what + "; the dialog shows serial \"" +
                         Text(&dlg, "serialEdit").toStdString() + "\", password \"" +
                         Text(&dlg, "passwordEdit").toStdString() + "\", \"" +
                         Text(&dlg, "tokenStatusLabel").toStdString() + "\"");
        return;
    }
    const QString verdict = Text(&dlg, "verifyResultLabel");
    if (!shown || verdict != expected) {
        ++m_badVerdicts;
        Check(false, (shown ? "wrong verdict for " : "no verdict within 15 s for ") + what +
                         ": \"" + verdict.toStdString() + "\", expected \"" +
                         expected.toStdString() + "\"");
        return;
    }
    ++m_verdictsOk;
}

void SoakRun::HoldKey(CMainDlg& dlg, KeyId key, bool game) {
    ++m_holds;
    const bool held = game ? m_rig.remote.HoldGameKey(key) : m_rig.remote.Hold(key);
    const std::string what =
        std::string(game ? "game-pad key " : "remote key ") + std::to_string(key);
    if (!Check(held, what + " has no code"))
        return;
    Check(ProcessEventsUntil([&] { return dlg.HighlightedKey() == key; }, 2s),
          what + " held is not highlighted");
    // Through several repeats: the highlight must stay throughout.
    bool stayed = true;
    ProcessEventsUntil(
        [&] {
            stayed = stayed && dlg.HighlightedKey() == key;
            return false;
        },
        game ? 400ms : 600ms);
    Check(stayed, "the highlight of " + what + " went while it was held");
    m_rig.remote.Release();
    Check(ProcessEventsUntil([&] { return dlg.HighlightedKey() == 0; }, 2s),
          "the highlight of " + what + " stays after it was let go");
}

void SoakRun::Replug(CMainDlg& dlg) {
    ++m_replugs;
    Event("replug");
    Log("unplugging both receivers");
    m_rig.kit.UnplugIr();
    m_rig.kit.UnplugGame();
    Check(ProcessEventsUntil(
              [&] {
                  return Text(&dlg, "irStatusLabel") == kIrNotFound &&
                         Text(&dlg, "gameStatusLabel") == kGameNotFound;
              },
              15s),
          "after unplugging, the status lines show \"" + Text(&dlg, "irStatusLabel").toStdString() +
              "\" and \"" + Text(&dlg, "gameStatusLabel").toStdString() + "\"");
    Log("plugging both receivers back in");
    m_rig.kit.PlugIr();
    m_rig.kit.PlugGame();
    Check(ProcessEventsUntil(
              [&] {
                  return Text(&dlg, "irStatusLabel") == kIrWorking &&
                         Text(&dlg, "gameStatusLabel") == kGameWorking;
              },
              15s),
          "after plugging back in, the status lines show \"" +
              Text(&dlg, "irStatusLabel").toStdString() + "\" and \"" +
              Text(&dlg, "gameStatusLabel").toStdString() + "\"");
    if (m_firstReplugEnd < 0)
        m_firstReplugEnd = Elapsed();
}

void SoakRun::Calibrate(CMainDlg& dlg) {
    ++m_calibrations;
    Event("calibration");
    VirtualRemote& token = m_rig.remote;
    // Drifted five minutes, the token must be refused first: the calibration mends it.
    token.DriftBy(10);
    Log("calibration: token %s drifted to %+lld steps", token.Serial().c_str(),
        static_cast<long long>(token.DriftSteps()));
    PressToken(dlg, token, kRefused);
    if (WaitsAbandoned())
        return;

    m_lastBoxText.clear();
    bool ran = false;
    // The button runs the dialog modally; this part runs inside its modal loop.
    QTimer::singleShot(0, &dlg, [&] {
        ran = true;
        CEKeyInputforRevise* cal = nullptr;
        if (!Check(ProcessEventsUntil(
                       [&] {
                           cal = dlg.findChild<CEKeyInputforRevise*>();
                           return cal != nullptr && cal->isVisible();
                       },
                       10s),
                   "the calibration dialog did not open")) {
            return;
        }
        auto giveUp = [&] {
            if (cal->isVisible())
                cal->close();
        };
        token.PressTokenKey();
        token.WaitIdle(5s);
        const QString first = QString::fromStdString(token.LastSentPassword());
        if (!Check(ProcessEventsUntil(
                       [&] {
                           return Text(cal, "firstPasswordEdit") == first &&
                                  Text(cal, "statusLabel") == kCalWait;
                       },
                       15s),
                   "calibration: the first password is not taken (the dialog shows \"" +
                       Text(cal, "firstPasswordEdit").toStdString() + "\", \"" +
                       Text(cal, "statusLabel").toStdString() + "\")")) {
            return giveUp();
        }
        if (!Check(ProcessEventsUntil([&] { return Text(cal, "statusLabel") == kCalAgain; }, 40s),
                   "calibration: no request for the second press within 40 s")) {
            return giveUp();
        }
        token.PressTokenKey();
        token.WaitIdle(5s);
        const bool closed = ProcessEventsUntil([&] { return !cal->isVisible(); }, 20s);
        Check(closed, "calibration: the dialog stays open after the second press");
        Check(m_lastBoxText == kCalibrated, "calibration verdict \"" + m_lastBoxText.toStdString() +
                                                "\", expected \"" +
                                                QString(kCalibrated).toStdString() + "\"");
        if (!closed)
            giveUp();
    });
    dlg.findChild<QPushButton*>("calibrateButton")->click();
    Check(ran, "the calibration did not run");
    Event("calibration end");
    if (m_firstCalibrationEnd < 0)
        m_firstCalibrationEnd = Elapsed();
    Log("calibration done");
}

void SoakRun::Run(CMainDlg& dlg) {
    m_start = Clock::now();
    Log("soak of %lld s: main dialog up", static_cast<long long>(m_duration.count()));
    Check(ProcessEventsUntil(
              [&] {
                  return Text(&dlg, "irStatusLabel") == kIrWorking &&
                         Text(&dlg, "gameStatusLabel") == kGameWorking;
              },
              20s),
          "the receivers are not both working at start");
    m_start = Clock::now();
    m_sampler = std::make_unique<QTimer>();
    m_sampler->setInterval(kSamplePeriod);
    QObject::connect(m_sampler.get(), &QTimer::timeout, [this] { OnSampleTimer(); });
    Sample();
    m_sampler->start();

    const auto end = m_start + m_duration;
    auto nextReplug = m_start + kFirstReplug;
    auto nextCalibration = m_start + kFirstCalibration;
    auto cycle = m_start;
    int n = 0;
    double lastReport = 0;
    while (Clock::now() < end && !WaitsAbandoned()) {
        if (Clock::now() >= nextCalibration) {
            Enter(Phase::Long);
            Calibrate(dlg);
            Enter(Phase::Quiet);
            nextCalibration += kCalibrationPeriod;
            cycle = Clock::now();
            continue;
        }
        if (Clock::now() >= nextReplug) {
            Enter(Phase::Long);
            Replug(dlg);
            Enter(Phase::Quiet);
            nextReplug += kReplugPeriod;
            cycle = Clock::now();
            continue;
        }
        Enter(Phase::Short);
        if (VirtualRemote* token = NextToken()) {
            PressToken(dlg, *token, kVerified);
        } else {
            Check(false, "no token has a fresh password");
        }
        Enter(Phase::Quiet);
        if (!WaitUntil(cycle + 2s))
            break;
        Enter(Phase::Short);
        HoldKey(dlg, kRemoteKeys[static_cast<std::size_t>(n) % std::size(kRemoteKeys)], false);
        Enter(Phase::Quiet);
        if (!WaitUntil(cycle + 4s))
            break;
        Enter(Phase::Short);
        HoldKey(dlg, kGameKeys[static_cast<std::size_t>(n) % std::size(kGameKeys)], true);
        Enter(Phase::Quiet);
        ++n;
        cycle += kPressPeriod;
        // Behind (a slow step): start the next cycle now rather than bunch them up.
        if (cycle < Clock::now())
            cycle = Clock::now();
        if (!WaitUntil(std::min(cycle, end)))
            break;
        if (Elapsed() - lastReport >= 60) {
            lastReport = Elapsed();
            std::printf("soak: %5.1f min  presses %d  verdicts ok %d  failures %d  RSS %ld kB\n",
                        lastReport / 60, m_presses, m_verdictsOk, m_failures,
                        m_samples.empty() ? 0L : m_samples.back().rssKb);
            std::fflush(stdout);
        }
    }
    Sample();
    m_sampler->stop();
    Log("Exit (退出)");
    dlg.findChild<QPushButton*>("exitButton")->click();
    Check(!dlg.isVisible(), "the main dialog did not end on Exit");
}

int SoakRun::Finish() {
    if (WaitsAbandoned()) {
        // The process ends by the signal next, which flushes nothing.
        std::printf("soak: interrupted\n");
        std::fflush(stdout);
        return 1;
    }
    const double total = std::chrono::duration<double>(m_duration).count();
    double warmUp = std::min(std::chrono::duration<double>(kMaxWarmUp).count(), total / 2);
    // Both a calibration and a replug belong to the warm-up: what they make once (a
    // thread pool, a cache) is not growth.
    warmUp = std::max({warmUp, m_firstCalibrationEnd + 5, m_firstReplugEnd + 5});
    const SoakGrowth g = JudgeSoakGrowth(m_samples, warmUp);
    for (const std::string& fault : g.faults)
        Check(false, fault);

    long peak = 0;
    for (const SoakSample& s : m_samples)
        peak = std::max(peak, s.rssKb);
    std::FILE* summary = std::fopen((m_outDir + "/soak-summary.txt").c_str(), "w");
    auto put = [&](const char* key, const std::string& value) {
        for (std::FILE* f : {summary, stdout}) {
            if (f != nullptr)
                std::fprintf(f, "%s=%s\n", key, value.c_str());
        }
    };
    auto n = [](auto v) { return std::to_string(v); };
    std::printf("soak: figures\n");
    put("minutes", Fixed(total / 60, 1));
    put("warmup_seconds", Fixed(g.warmUpSeconds, 0));
    put("samples", n(m_samples.size()));
    put("checked_samples", n(g.checkedSamples));
    put("presses", n(m_presses));
    put("verdicts_ok", n(m_verdictsOk));
    put("lost_frames", n(m_lostFrames));
    put("bad_verdicts", n(m_badVerdicts));
    put("held_keys", n(m_holds));
    put("calibrations", n(m_calibrations));
    put("replugs", n(m_replugs));
    put("rss_first_kb", n(m_samples.empty() ? 0L : m_samples.front().rssKb));
    put("rss_last_kb", n(m_samples.empty() ? 0L : m_samples.back().rssKb));
    put("rss_peak_kb", n(peak));
    put("slope_mb_per_h", Fixed(g.slopeMbPerHour, 3));
    put("intercept_kb", Fixed(g.interceptKb, 1));
    put("fds_baseline", n(g.fdBaseline));
    put("fds_max", n(g.fdMax));
    put("threads_baseline", n(g.threadBaseline));
    put("threads_max", n(g.threadMax));
    put("failures", n(m_failures));
    if (summary != nullptr)
        std::fclose(summary);
    Log("%s: %d failure(s)", m_failures == 0 ? "passed" : "FAILED", m_failures);
    std::printf("soak: %s\n", m_failures == 0 ? "passed" : "FAILED");
    std::fflush(stdout);
    return m_failures == 0 ? 0 : 1;
}
