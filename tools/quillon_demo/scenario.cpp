#include "tools/quillon_demo/scenario.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <cstdarg>

#include "app/calibration_dlg.h"
#include "app/main_dlg.h"
#include "app/message_box.h"
#include "tools/quillon_demo/kit_rig.h"
#include "tools/quillon_demo/remote_window.h"

namespace {

using namespace std::chrono_literals;

const QString kIrWorking = QString::fromUtf8("红外接收器设备工作正常");
const QString kIrNotFound = QString::fromUtf8("红外接收器设备未找到");
const QString kGameWorking = QString::fromUtf8("游戏杆接收器设备工作正常");
const QString kTokenOk = QString::fromUtf8("令匙输入成功");
const QString kVerified = QString::fromUtf8("令匙验证通过");
const QString kRefused = QString::fromUtf8("令匙验证不通过，请尝试令匙校准");
const QString kSerialsAgree = QString::fromUtf8("序列号一致");
const QString kCalWait = QString::fromUtf8("请等待30秒再输入令匙键");
const QString kCalAgain = QString::fromUtf8("请再次输入令匙键");
const QString kCalibrated = QString::fromUtf8("令匙校准通过");

constexpr KeyId kRemoteKey = 53;  // digit 5
constexpr KeyId kGameKey = 4103;  // upper ring, left (yellow)

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
