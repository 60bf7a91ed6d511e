#include "tools/quillon_demo/scenario.h"
#include "platform/text/translatable.h"

#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <cstdarg>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <vector>

#include "app/calibration_dlg.h"
#include "app/main_dlg.h"
#include "app/message_box.h"
#include "tools/quillon_demo/kit_rig.h"
#include "tools/quillon_demo/remote_window.h"

namespace {

using namespace std::chrono_literals;

// A status line as the window shows it: in the language the demo runs in.
struct ShownText {
    const char* source;
    operator QString() const { return QCoreApplication::translate(kStatusTextContext, source); }
};

const ShownText kIrWorking{"红外接收器设备工作正常"};
const ShownText kIrNotFound{"红外接收器设备未找到"};
const ShownText kGameWorking{"游戏杆接收器设备工作正常"};
const ShownText kTokenOk{"令匙输入成功"};
const ShownText kVerified{"令匙验证通过"};
const ShownText kRefused{"令匙验证不通过，请尝试令匙校准"};
const ShownText kSerialsAgree{"序列号一致"};
const ShownText kCalWait{"请等待30秒再输入令匙键"};
const ShownText kCalAgain{"请再次输入令匙键"};
const ShownText kCalibrated{"令匙校准通过"};

constexpr KeyId kRemoteKey = 53;  // digit 5
constexpr KeyId kGameKey = 4103;  // upper ring, left (yellow)

#ifndef QUILLONCTL_EXE
#define QUILLONCTL_EXE "quillonctl"
#endif
#ifndef QUILLON_INSTALLED_CTL
#define QUILLON_INSTALLED_CTL "quillonctl"
#endif

using Json = nlohmann::json;

// Ends a child that still runs, and reaps it: SIGTERM first, so quillonctl stores its
// run as ABORTED, then SIGKILL.
void EndChild(QProcess& child) {
    if (child.state() == QProcess::NotRunning)
        return;
    child.terminate();
    if (!child.waitForFinished(5000)) {
        child.kill();
        child.waitForFinished(2000);
    }
}

struct ChildGuard {
    QProcess& child;
    ~ChildGuard() { EndChild(child); }
};

// Lets queued paints reach the X server, so a grab shows them.
void Settle() {
    ProcessEventsUntil([] { return false; }, 150ms);
    QGuiApplication::sync();
}

}  // namespace

DemoScenario::DemoScenario(KitRig& rig, RemoteWindow& remote, std::string outDir, std::FILE* log)
    : m_rig(rig),
      m_remote(remote),
      m_outDir(std::move(outDir)),
      m_log(log),
      m_start(std::chrono::steady_clock::now()) {}

DemoScenario::~DemoScenario() {
    SetMessageBoxHook({});
}

void DemoScenario::Log(const char* format, ...) {
    const double t =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(m_log, "[%6.1f s] %s\n", t, line);
    std::fflush(m_log);
    std::printf("[%6.1f s] %s\n", t, line);
    std::fflush(stdout);
}

bool DemoScenario::Check(bool ok, const char* what) {
    // A stop signal ended the run; what fails from then on says nothing.
    if (WaitsAbandoned())
        return false;
    Log("%s %s", ok ? "ok  " : "FAIL", what);
    if (!ok)
        ++m_failures;
    return ok;
}

bool DemoScenario::Expect(const QWidget* root, const char* name, const QString& text,
                          std::chrono::milliseconds timeout) {
    const bool ok = ProcessEventsUntil([&] { return ControlText(root, name) == text; }, timeout);
    const std::string what =
        std::string(name) + " shows \"" + text.toStdString() + "\"" +
        (ok ? "" : " (it shows \"" + ControlText(root, name).toStdString() + "\")");
    return Check(ok, what.c_str());
}

void DemoScenario::Shot(const char* name) {
    Settle();
    char file[256];
    std::snprintf(file, sizeof file, "%02d-%s.png", ++m_shots, name);
    const QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0);
    const std::string path = m_outDir + "/" + file;
    if (screen.save(QString::fromStdString(path), "PNG")) {
        Log("screenshot %s", file);
    } else {
        Check(false, ("screenshot " + std::string(file) + " could not be written").c_str());
    }
}

void DemoScenario::InstallBoxHook() {
    SetMessageBoxHook([this](const QString& text, const QString& caption, BoxIcon icon,
                             BoxButtons buttons) {
        const QMessageBox::Icon qicon = icon == BoxIcon::Error         ? QMessageBox::Critical
                                        : icon == BoxIcon::Information ? QMessageBox::Information
                                                                       : QMessageBox::NoIcon;
        QMessageBox box(
            qicon, caption, text,
            buttons == BoxButtons::YesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok,
            QApplication::activeWindow());
        box.show();
        ProcessEventsUntil([&] { return box.windowHandle() && box.windowHandle()->isExposed(); },
                           5s);
        m_lastBoxText = text;
        Log("message box \"%s\": \"%s\"", caption.toStdString().c_str(),
            text.toStdString().c_str());
        Shot(m_boxShot.c_str());
        box.close();
        Log("message box closed by the scenario");
        return buttons == BoxButtons::YesNo ? BoxAnswer::Yes : BoxAnswer::Ok;
    });
}

void DemoScenario::HoldOnPicture(KeyId key) {
    QTest::mousePress(m_remote.Pad(), Qt::LeftButton, {}, RemotePad::KeyCentre(key));
}

void DemoScenario::ReleaseOnPicture(KeyId key) {
    QTest::mouseRelease(m_remote.Pad(), Qt::LeftButton, {}, RemotePad::KeyCentre(key));
}

void DemoScenario::PressToken() {
    m_remote.TokenButton()->click();
    m_rig.remote.WaitIdle(5s);
    Log("token key pressed: serial %s, password %s (token clock drift %+lld steps)",
        m_rig.remote.Serial().c_str(), m_rig.remote.LastSentPassword().c_str(),
        static_cast<long long>(m_rig.remote.DriftSteps()));
}

void DemoScenario::Run(CMainDlg& dlg) {
    Log("main dialog up; receivers are searched for on the virtual kit");
    Expect(&dlg, "irStatusLabel", kIrWorking);
    Expect(&dlg, "gameStatusLabel", kGameWorking);
    Shot("receivers-working");

    if (WaitsAbandoned())
        return;
    Log("holding key 5 on the virtual remote's picture");
    HoldOnPicture(kRemoteKey);
    Check(ProcessEventsUntil([&] { return dlg.HighlightedKey() == kRemoteKey; }, 5s),
          "the held key is highlighted in the main dialog");
    // Long enough for several repeats; the highlight must stay throughout.
    bool stayed = true;
    ProcessEventsUntil(
        [&] {
            stayed = stayed && dlg.HighlightedKey() == kRemoteKey;
            return false;
        },
        700ms);
    Check(stayed, "the highlight stays while the key repeats");
    Shot("remote-key-held");
    ReleaseOnPicture(kRemoteKey);
    Check(ProcessEventsUntil([&] { return dlg.HighlightedKey() == 0; }, 5s),
          "the highlight goes when the key is let go");

    if (WaitsAbandoned())
        return;
    Log("holding the yellow key of the game pad");
    HoldOnPicture(kGameKey);
    Check(ProcessEventsUntil([&] { return dlg.HighlightedKey() == kGameKey; }, 5s),
          "the held game-pad key is highlighted");
    Shot("gamepad-key-held");
    ReleaseOnPicture(kGameKey);
    Check(ProcessEventsUntil([&] { return dlg.HighlightedKey() == 0; }, 5s),
          "the highlight goes when the game-pad key is let go");

    if (WaitsAbandoned())
        return;
    Log("comparison with the fixed serial in SN.ini switched on");
    if (auto* compare = dlg.findChild<QCheckBox*>("compareCheck"); compare && compare->isVisible())
        compare->click();
    PressToken();
    Expect(&dlg, "tokenStatusLabel", kTokenOk);
    Expect(&dlg, "serialEdit", QString::fromStdString(m_rig.remote.Serial()));
    Expect(&dlg, "passwordEdit", QString::fromStdString(m_rig.remote.LastSentPassword()));
    Expect(&dlg, "compareEdit", kSerialsAgree);
    Expect(&dlg, "verifyResultLabel", kVerified);
    Shot("token-verified");

    if (WaitsAbandoned())
        return;
    Log("the token's clock drifts ten steps (five minutes) ahead");
    for (int i = 0; i < 10; ++i)
        m_remote.DriftUpButton()->click();
    PressToken();
    Expect(&dlg, "passwordEdit", QString::fromStdString(m_rig.remote.LastSentPassword()));
    Expect(&dlg, "verifyResultLabel", kRefused);
    Shot("drifted-token-refused");

    if (WaitsAbandoned())
        return;
    Calibrate(dlg);

    if (WaitsAbandoned())
        return;
    // The service never takes a password twice: the token's next one is needed.
    const auto lastStep = m_rig.remote.LastSentStep();
    if (m_rig.remote.Step() <= lastStep) {
        Log("waiting for the token's next password (a new one every 30 s)");
        ProcessEventsUntil([&] { return m_rig.remote.Step() > lastStep; }, 35s);
    }
    PressToken();
    Expect(&dlg, "passwordEdit", QString::fromStdString(m_rig.remote.LastSentPassword()));
    Expect(&dlg, "verifyResultLabel", kVerified);
    Shot("verified-after-calibration");

    if (WaitsAbandoned())
        return;
    Log("unplugging the IR receiver");
    m_remote.IrPlugButton()->click();
    Expect(&dlg, "irStatusLabel", kIrNotFound);
    Shot("ir-receiver-unplugged");
    Log("plugging the IR receiver back in");
    m_remote.IrPlugButton()->click();
    Expect(&dlg, "irStatusLabel", kIrWorking);
    Shot("ir-receiver-replugged");

    if (WaitsAbandoned())
        return;
    Log("Exit (退出)");
    const auto begin = std::chrono::steady_clock::now();
    dlg.findChild<QPushButton*>("exitButton")->click();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - begin)
                        .count();
    Check(!dlg.isVisible(), "the main dialog has ended");
    Log("receiver threads ended and the dialog closed %lld ms after Exit",
        static_cast<long long>(ms));
}

void DemoScenario::Calibrate(CMainDlg& dlg) {
    if (WaitsAbandoned())
        return;
    Log("token calibration (令匙校准)");
    bool ran = false;
    // The button runs the dialog modally; this part runs inside that modal loop.
    QTimer::singleShot(0, &dlg, [&] {
        ran = true;
        CEKeyInputforRevise* cal = nullptr;
        if (!Check(ProcessEventsUntil(
                       [&] {
                           cal = dlg.findChild<CEKeyInputforRevise*>();
                           return cal != nullptr && cal->isVisible();
                       },
                       10s),
                   "the calibration dialog is open")) {
            return;
        }
        Shot("calibration-open");
        if (WaitsAbandoned())
            return;
        PressToken();
        Expect(cal, "firstPasswordEdit", QString::fromStdString(m_rig.remote.LastSentPassword()));
        Expect(cal, "statusLabel", kCalWait);
        Shot("calibration-first-password");
        Log("waiting the calibration's 30 seconds");
        if (!Expect(cal, "statusLabel", kCalAgain, 40s)) {
            QTest::keyClick(cal, Qt::Key_Escape);
            return;
        }
        m_boxShot = "calibration-passed";
        if (WaitsAbandoned())
            return;
        PressToken();
        const bool closed = ProcessEventsUntil([&] { return !cal->isVisible(); }, 20s);
        Check(closed, "the calibration dialog closed after its verdict");
        Check(m_lastBoxText == kCalibrated, "the verdict is \"令匙校准通过\"");
        if (!closed)
            QTest::keyClick(cal, Qt::Key_Escape);
    });
    dlg.findChild<QPushButton*>("calibrateButton")->click();
    Check(ran, "calibration ran");
}

void DemoScenario::RunEndOfLine() {
    namespace fs = std::filesystem;
    const std::string ctl = InstalledOrBuilt(ProgramDir(), QUILLON_INSTALLED_CTL, QUILLONCTL_EXE);
    if (::access(ctl.c_str(), X_OK) != 0) {
        Check(false, ("no quillonctl at " + ctl +
                      " for the end-of-line test (the build's quillonctl target makes it)")
                         .c_str());
        return;
    }
    Log("end-of-line test: %s test on the virtual kit, against the same simulator", ctl.c_str());

    // A store of its own in the output folder, fresh each time like the screenshots,
    // and a configuration of its own, so a user's quillon.conf (a shared database, a
    // shorter key list) stays out of the demo.
    const fs::path state = fs::path(m_outDir) / "eol-state";
    const fs::path config = fs::path(m_rig.WorkDir()) / "eol-config";
    std::error_code ec;
    fs::remove_all(state, ec);
    fs::create_directories(state, ec);
    fs::create_directories(config / "quillon", ec);
    std::ofstream(config / "quillon" / "quillon.conf")
        << "# quillon-demo's own: every key, the local store\n";
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUILLON_SYSFS_ROOT", QString::fromStdString(m_rig.kit.Bus().SysRoot()));
    env.insert("QUILLON_DEV_ROOT", QString::fromStdString(m_rig.kit.Bus().DevRoot()));
    env.insert("XDG_STATE_HOME", QString::fromStdString(state.string()));
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(config.string()));

    QProcess test;
    ChildGuard guard{test};
    test.setProgram(QString::fromStdString(ctl));
    const QStringList args = {"test",       "--json",
                              "--serial",   QString::fromStdString(m_rig.remote.Serial()),
                              "--operator", "demo",
                              "--station",  "demo-bench",
                              "--endpoint", QString::fromStdString(m_rig.simulator.Endpoint())};
    test.setArguments(args);
    test.setProcessEnvironment(env);
    test.setStandardInputFile(QProcess::nullDevice());
    // Its messages join the demo's trace.
    test.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    Log("quillonctl %s", args.join(' ').toStdString().c_str());

    std::ofstream eventsFile(fs::path(m_outDir) / "eol-events.jsonl", std::ios::trunc);
    std::vector<Json> events;
    const auto readEvents = [&] {
        while (test.canReadLine()) {
            const std::string line = test.readLine().trimmed().toStdString();
            eventsFile << line << "\n";
            Json event = Json::parse(line, nullptr, false);
            if (!event.is_discarded() && event.is_object())
                events.push_back(std::move(event));
        }
    };
    const auto seen = [&](const char* event, const char* step) {
        for (const Json& e : events) {
            if (e.value("event", "") == event && e.value("step", "") == step)
                return true;
        }
        return false;
    };
    // Until `pred` holds, quillonctl has exited or the time is up.
    const auto waitFor = [&](const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
        ProcessEventsUntil(
            [&] {
                readEvents();
                return pred() || test.state() == QProcess::NotRunning;
            },
            timeout);
        readEvents();
        return pred();
    };

    const int irOpens = m_rig.kit.IrOpens();
    const int gameOpens = m_rig.kit.GameOpens();
    test.start();
    if (!test.waitForStarted(5000)) {
        Check(false,
              ("quillonctl test did not start: " + test.errorString().toStdString()).c_str());
        return;
    }
    // Keys pressed before its receiver threads have the receivers would be lost: the
    // check opens each receiver once, then its thread.
    if (!Check(waitFor(
                   [&] {
                       return seen("step_begun", "keys") && m_rig.kit.IrOpens() >= irOpens + 2 &&
                              m_rig.kit.GameOpens() >= gameOpens + 2;
                   },
                   20s),
               "quillonctl test found both receivers and asks for every key"))
        return;

    Log("Press every key (remote window): each key of the remote and the game pad once");
    m_remote.PressEveryKeyButton()->click();
    if (!Check(waitFor([&] { return seen("step_begun", "token"); }, 60s),
               "quillonctl test saw every key and asks for the token key"))
        return;

    // The service takes each password once: the token's next one is needed.
    const auto lastStep = m_rig.remote.LastSentStep();
    if (m_rig.remote.Step() <= lastStep) {
        Log("waiting for the token's next password (a new one every 30 s)");
        if (!Check(waitFor([&] { return m_rig.remote.Step() > lastStep; }, 35s),
                   "the token's next password came"))
            return;
    }
    PressToken();
    waitFor([&] { return false; }, 30s);
    if (!Check(test.state() == QProcess::NotRunning, "quillonctl test ended"))
        return;
    const bool exited0 = test.exitStatus() == QProcess::NormalExit && test.exitCode() == 0;
    Check(exited0, exited0 ? "quillonctl test exited with 0"
                           : ("quillonctl test exited with " + std::to_string(test.exitCode()) +
                              " (see quillonctl(1), EXIT STATUS)")
                                 .c_str());

    Json record;
    if (!events.empty() && events.back().value("event", "") == "record") {
        record = events.back();
        record.erase("event");
    }
    if (!Check(!record.empty(), "quillonctl test wrote its record"))
        return;
    std::ofstream(fs::path(m_outDir) / "eol-record.json", std::ios::trunc)
        << record.dump(2) << "\n";
    int keysPressed = 0;
    for (const Json& key : record["keys"])
        keysPressed += key.value("presses", 0) > 0 ? 1 : 0;
    Log("end-of-line record %s: %s%s%s; %d of %zu keys pressed; token %s; saved as "
        "eol-record.json",
        record.value("id", "").c_str(), record.value("outcome", "").c_str(),
        record.value("why", "").empty() ? "" : ", ", record.value("why", "").c_str(), keysPressed,
        record["keys"].size(), record.value("token_serial", "").c_str());
    Check(record.value("outcome", "") == "PASS", "the end-of-line record says PASS");

    QProcess results;
    ChildGuard resultsGuard{results};
    results.setProgram(QString::fromStdString(ctl));
    results.setArguments({"results", "--format", "table"});
    results.setProcessEnvironment(env);
    results.setStandardInputFile(QProcess::nullDevice());
    results.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    results.start();
    ProcessEventsUntil([&] { return results.state() == QProcess::NotRunning; }, 15s);
    const QByteArray table = results.readAllStandardOutput();
    std::ofstream(fs::path(m_outDir) / "eol-results.txt", std::ios::trunc) << table.toStdString();
    QList<QByteArray> rows;
    for (const QByteArray& line : table.split('\n')) {
        if (!line.isEmpty()) {
            Log("  %s", line.toStdString().c_str());
            rows.push_back(line);
        }
    }
    // A header and this one run.
    Check(results.state() == QProcess::NotRunning && results.exitCode() == 0 && rows.size() == 2 &&
              rows[1].contains("PASS") && rows[1].contains("demo-bench"),
          "quillonctl results lists the run as PASS (eol-results.txt)");
}
