// End-to-end figures of the real program on the virtual kit, against the token-service
// simulator on loopback. Figures only, no pass/fail. Needs a display (scripts/bench-e2e
// starts a private Xvfb).
//
//   key latency      report written to the receiver's node -> paint event of the
//                    window with that key highlighted
//   token verdict    first code of the token frame written -> verdict label repainted
//   idle CPU         user + system time of the whole process over a quiet period with
//                    both receivers present
//   exit             "退出" clicked -> dialog ended (receiver threads joined)
//   memory           resident set size after start and its peak

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/app.h"
#include "tools/quillon_demo/kit_rig.h"
#include "tools/token_service_sim/token_model.h"
#include "tools/virtual_kit/virtual_remote.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const QString kVerified = QString::fromUtf8("令匙验证通过");

int Samples(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && std::atoi(v) > 0 ? std::atoi(v) : fallback;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void PrintStats(const char* what, std::vector<double> ms) {
    if (ms.empty()) {
        std::printf("%-34s no samples\n", what);
        return;
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) {
        return ms[std::min(ms.size() - 1,
                           static_cast<std::size_t>(q * static_cast<double>(ms.size())))];
    };
    std::printf("%-34s median %7.2f ms   p99 %7.2f ms   max %7.2f ms   (n=%zu)\n", what, at(0.5),
                at(0.99), ms.back(), ms.size());
}

long StatusKb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0)
            return std::atol(line.c_str() + prefix.size());
    }
    return -1;
}

double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs a command and waits for it; false when it failed.
bool RunCommand(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Records when a widget gets a paint event while `ready` holds.
class PaintWatch : public QObject {
public:
    PaintWatch(QWidget* w, std::function<bool()> ready) : m_ready(std::move(ready)) {
        w->installEventFilter(this);
    }
    void Arm() { m_at.reset(); }
    const std::optional<Clock::time_point>& At() const { return m_at; }

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint && !m_at && m_ready())
            m_at = Clock::now();
        return false;
    }

private:
    std::function<bool()> m_ready;
    std::optional<Clock::time_point> m_at;
};

void MeasureKeys(KitRig& rig, CMainDlg& dlg, int samples) {
    // Two keys in turn: each report is a new key, so each one changes the highlight.
    const IrScanCode codes[2] = {*IrCodeForKey(49), *IrCodeForKey(50)};
    const KeyId keys[2] = {49, 50};
    KeyId expected = 0;
    PaintWatch watch(&dlg, [&] { return dlg.HighlightedKey() == expected; });
    std::vector<double> ms;
    bool toggle = false;
    for (int i = 0; i < samples; ++i) {
        expected = keys[i % 2];
        toggle = !toggle;
        watch.Arm();
        const auto t0 = Clock::now();
        rig.kit.SendIr(static_cast<IrScanCode>(codes[i % 2] | (toggle ? 0x8000 : 0)));
        if (!ProcessEventsUntil([&] { return watch.At().has_value(); }, 2s))
            continue;
        ms.push_back(Ms(*watch.At() - t0));
    }
    PrintStats("key report -> highlighted repaint", ms);
    // Let the last key's highlight run out before the next measurement.
    ProcessEventsUntil([&] { return dlg.HighlightedKey() == 0; }, 2s);
}

void MeasureToken(CMainDlg& dlg, const std::vector<std::unique_ptr<VirtualRemote>>& tokens) {
    auto* verdict = dlg.findChild<QLabel*>("verifyResultLabel");
    auto* clear = dlg.findChild<QPushButton*>("clearButton");
    PaintWatch watch(verdict, [&] { return verdict->text() == kVerified; });
    std::vector<double> ms;
    std::vector<double> refused;
    for (const auto& token : tokens) {
        clear->click();
        ProcessEventsUntil([&] { return verdict->text().isEmpty(); }, 2s);
        std::atomic<bool> first{true};
        Clock::time_point t0{};
        token->SetSentHook([&](const VirtualRemote::Sent& s) {
            if (first.exchange(false))
                t0 = s.at;
        });
        watch.Arm();
        token->PressTokenKey();
        if (!ProcessEventsUntil(
                [&] {
                    return watch.At().has_value() ||
                           (!verdict->text().isEmpty() && verdict->text() != kVerified);
                },
                5s)) {
            continue;
        }
        token->WaitIdle();
        if (watch.At()) {
            ms.push_back(Ms(*watch.At() - t0));
        } else {
            refused.push_back(0);
        }
    }
    PrintStats("token press -> verdict on screen", ms);
    std::printf("%-34s (%lld ms of it is the frame itself: 13 gaps of %lld ms between codes)\n", "",
                static_cast<long long>(13 * VirtualRemote::kTokenCodeGap.count()),
                static_cast<long long>(VirtualRemote::kTokenCodeGap.count()));
    if (!refused.empty())
        std::printf("%-34s %zu press(es) not verified (left out)\n", "", refused.size());
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const int keySamples = Samples("BENCH_KEY_SAMPLES", 300);
    const int tokenSamples = Samples("BENCH_TOKEN_SAMPLES", 20);
    const int idleSeconds = Samples("BENCH_IDLE_SECONDS", 30);

    KitRig rig;
    // One token per verification: the service takes each password once, so a single
    // token could verify only once per 30-second step.
    std::vector<std::unique_ptr<VirtualRemote>> tokens;
    for (int i = 0; i < tokenSamples; ++i) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "9000%05d", i);
        VirtualToken token = DemoToken();
        token.serial = serial;
        token.secret.push_back(static_cast<std::uint8_t>(i));
        const std::string hex = quillon::tokensim::EncodeHex(token.secret);
        if (!RunCommand({KitRig::DefaultSimulator(), "--state", rig.StateFile(), "--add-token",
                         serial, hex})) {
            std::fprintf(stderr, "bench_e2e: cannot add token %s\n", serial);
            return 1;
        }
        tokens.push_back(std::make_unique<VirtualRemote>(rig.kit, std::move(token)));
    }
    std::string error;
    if (!rig.Start(KitRig::DefaultSimulator(), &error)) {
        std::fprintf(stderr, "bench_e2e: %s\n", error.c_str());
        return 1;
    }
    const std::filesystem::path oldCwd = std::filesystem::current_path();
    std::filesystem::current_path(rig.WorkDir());

    RecordingServiceControl services(rig.events, false);
    Clock::duration exitTime{};
    QTimer::singleShot(0, [&] {
        CMainDlg* dlg = nullptr;
        ProcessEventsUntil([&] { return (dlg = FindMainDialog()) != nullptr; }, 20s);
        if (dlg == nullptr)
            return;
        ProcessEventsUntil(
            [&] {
                return rig.kit.IrOpens() > 0 && rig.kit.GameOpens() > 0 &&
                       !dlg->findChild<QLabel*>("gameStatusLabel")->text().isEmpty();
            },
            20s);
        std::printf("quillon on the virtual kit, simulator at %s\n",
                    rig.simulator.Endpoint().c_str());
        std::printf("%-34s %ld kB (after start)\n", "resident memory", StatusKb("VmRSS"));

        MeasureKeys(rig, *dlg, keySamples);
        MeasureToken(*dlg, tokens);

        // Idle: no polling of ours in this period, only the program's own threads.
        const double cpu0 = CpuSeconds();
        const auto t0 = Clock::now();
        QEventLoop idle;
        QTimer::singleShot(std::chrono::seconds(idleSeconds), &idle, &QEventLoop::quit);
        idle.exec();
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        std::printf("%-34s %.3f %% of one core (%.3f s CPU in %.1f s)\n",
                    "idle CPU, receivers present", 100.0 * (CpuSeconds() - cpu0) / wall,
                    CpuSeconds() - cpu0, wall);
        std::printf("%-34s %ld kB (peak %ld kB)\n", "resident memory", StatusKb("VmRSS"),
                    StatusKb("VmHWM"));

        const auto e0 = Clock::now();
        dlg->findChild<QPushButton*>("exitButton")->click();
        exitTime = Clock::now() - e0;
    });
    CQuillonApp app(services, rig.Receivers());
    app.InitInstance();
    std::printf("%-34s %.2f ms\n", "Exit -> dialog ended", Ms(exitTime));
    std::filesystem::current_path(oldCwd);
    tokens.clear();
    return 0;
}
