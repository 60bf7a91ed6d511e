// End to end: the real application start, main dialog, receiver threads, HID layer,
// decoder, verification client and calibration dialog, driven through the virtual
// kit, against the token-service simulator running as its own process. Outcomes are
// read back from the window's controls by their object names. Runs on a private
// Xvfb display (with_xvfb.sh).
//
// The token's clock is frozen at the test's start and moved on only by the test, so
// which password a press sends never depends on when a 30-second step happens to end.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <atomic>
#include <filesystem>
#include <fstream>

#include "app/app.h"
#include "app/calibration_dlg.h"
#include "app/key_rects.h"
#include "app/message_box.h"
#include "diagnosis/receiver_diagnosis.h"
#include "platform/process/running.h"
#include "platform/process/trace.h"
#include "receiver/hid_manager.h"
#include "service/token_frame_box.h"
#include "tools/quillon_demo/kit_rig.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kDeadline = 15s;  // generous: sanitizer builds are slow

const QString kIrWorking = QString::fromUtf8("红外接收器设备工作正常");
const QString kIrNotFound = QString::fromUtf8("红外接收器设备未找到");
const QString kGameWorking = QString::fromUtf8("游戏杆接收器设备工作正常");
const QString kTokenOk = QString::fromUtf8("令匙输入成功");
const QString kVerified = QString::fromUtf8("令匙验证通过");
const QString kRefused = QString::fromUtf8("令匙验证不通过，请尝试令匙校准");
const QString kCalibrated = QString::fromUtf8("令匙校准通过");
const QString kCalWait = QString::fromUtf8("请等待30秒再输入令匙键");
const QString kCalAgain = QString::fromUtf8("请再次输入令匙键");
const QString kCalSame = QString::fromUtf8("两次密码相同，请等待30秒再试");

std::int64_t NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Box {
    QString text;
    QString caption;
};

class KitE2eTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_bRunning = false;
        g_bCalibrating = false;
        GetHidManager()->m_bServiceStopped = false;
        std::string error;
        ASSERT_TRUE(rig.Start(KitRig::DefaultSimulator(), &error)) << error;
        m_oldCwd = std::filesystem::current_path();
        std::filesystem::current_path(rig.WorkDir());
        rig.remote.SetSentHook([this](const VirtualRemote::Sent& s) {
            if (s.delivered)
                ++m_delivered;
        });
        SetMessageBoxHook(
            [this](const QString& text, const QString& caption, BoxIcon, BoxButtons buttons) {
                m_boxes.push_back({text, caption});
                return buttons == BoxButtons::YesNo ? BoxAnswer::Yes : BoxAnswer::Ok;
            });
    }
    void TearDown() override {
        SetMessageBoxHook({});
        std::filesystem::current_path(m_oldCwd);
    }

    // The whole application: start, the modal main dialog with `drive` run inside its
    // loop, and exit. A drive that fails half-way still leaves through Exit.
    void RunApp(const std::function<void(CMainDlg&)>& drive) {
        RecordingServiceControl services(rig.events, true);
        QTimer::singleShot(0, [&] {
            CMainDlg* dlg = nullptr;
            ASSERT_TRUE(
                ProcessEventsUntil([&] { return (dlg = FindMainDialog()) != nullptr; }, kDeadline));
            drive(*dlg);
            if (dlg->isVisible()) {
                ADD_FAILURE() << "the drive did not end the dialog";
                dlg->OnExit();
            }
        });
        CQuillonApp app(services, rig.Receivers());
        app.InitInstance();
    }

    static bool WaitText(const QWidget* root, const char* name, const QString& text) {
        const bool ok =
            ProcessEventsUntil([&] { return ControlText(root, name) == text; }, kDeadline);
        EXPECT_TRUE(ok) << name << " shows \"" << ControlText(root, name).toStdString()
                        << "\", not \"" << text.toStdString() << "\"";
        return ok;
    }

    static bool WaitReceiversWorking(const CMainDlg& dlg) {
        return WaitText(&dlg, "irStatusLabel", kIrWorking) &&
               WaitText(&dlg, "gameStatusLabel", kGameWorking);
    }

    // Presses the token key and waits until the frame's password is on screen and the
    // verification line says `verdict`.
    bool PressTokenAndWaitFor(CMainDlg& dlg, const QString& verdict) {
        // "清除输出" first, so the line of an earlier press cannot pass for this one.
        dlg.findChild<QPushButton*>("clearButton")->click();
        if (!WaitText(&dlg, "verifyResultLabel", ""))
            return false;
        rig.remote.PressTokenKey();
        if (!rig.remote.WaitIdle(kDeadline))
            return false;
        const QString password = QString::fromStdString(rig.remote.LastSentPassword());
        return WaitText(&dlg, "passwordEdit", password) &&
               WaitText(&dlg, "verifyResultLabel", verdict);
    }

    bool WaitDelivered(int n) {
        return ProcessEventsUntil([&] { return m_delivered.load() >= n; }, kDeadline);
    }

    bool HasBox(const QString& text) const {
        for (const Box& b : m_boxes) {
            if (b.text == text)
                return true;
        }
        return false;
    }

    // The exit sequence as the service manager saw it: the service started again only
    // after both receiver threads had returned.
    void ExpectExitOrder() const {
        const int ir = rig.events.IndexOf("HID end");
        const int game = rig.events.IndexOf("HIDForGame end");
        const int start = rig.events.IndexOf("service start");
        ASSERT_GE(ir, 0);
        ASSERT_GE(game, 0);
        ASSERT_GE(start, 0);
        EXPECT_LT(ir, start);
        EXPECT_LT(game, start);
        EXPECT_LT(rig.events.IndexOf("service stop"), ir);
    }

    std::atomic<std::int64_t> m_clock{NowSeconds()};
    KitRig rig{[this] { return m_clock.load(); }};
    std::atomic<int> m_delivered{0};
    std::vector<Box> m_boxes;

private:
    std::filesystem::path m_oldCwd;
};

// The part of the dialog's picture where `key` sits.
QImage KeyArea(CMainDlg& dlg, KeyId key) {
    const KeyRect r = GetKeyRect(key);
    const QImage shot = dlg.grab().toImage();
    const int top = RemotePictureTop(dlg.height());
    return shot.copy(kRemotePictureLeft + r.left, top + r.top, r.Width(), r.Height());
}

TEST_F(KitE2eTest, ScenarioFromHeldKeysToVerificationUnplugAndEscape) {
    RunApp([&](CMainDlg& dlg) {
        ASSERT_TRUE(WaitReceiversWorking(dlg));
        EXPECT_TRUE(HasBox("For Quillon, Orvane Keywarden Service\nHas been stopped."));

        // A held remote key stays highlighted for as long as it repeats.
        const QImage released = KeyArea(dlg, 49);
        ASSERT_TRUE(rig.remote.HoldKey(49));
        ASSERT_TRUE(ProcessEventsUntil([&] { return dlg.HighlightedKey() == 49; }, kDeadline));
        const int sent = m_delivered.load();
        bool stayed = true;
        ASSERT_TRUE(ProcessEventsUntil(
            [&] {
                stayed = stayed && dlg.HighlightedKey() == 49;
                return m_delivered.load() >= sent + 5;
            },
            kDeadline));
        EXPECT_TRUE(stayed);
        EXPECT_NE(KeyArea(dlg, 49), released) << "the held key is not drawn pressed";
        rig.remote.Release();
        ASSERT_TRUE(ProcessEventsUntil([&] { return dlg.HighlightedKey() == 0; }, kDeadline));
        EXPECT_TRUE(ProcessEventsUntil([&] { return KeyArea(dlg, 49) == released; }, kDeadline));

        // And a game-pad key.
        ASSERT_TRUE(rig.remote.HoldGameKey(4101));
        EXPECT_TRUE(ProcessEventsUntil([&] { return dlg.HighlightedKey() == 4101; }, kDeadline));
        rig.remote.Release();
        EXPECT_TRUE(ProcessEventsUntil([&] { return dlg.HighlightedKey() == 0; }, kDeadline));

        // The token verifies against the simulator...
        ASSERT_TRUE(PressTokenAndWaitFor(dlg, kVerified));
        EXPECT_EQ(ControlText(&dlg, "tokenStatusLabel"), kTokenOk);
        EXPECT_EQ(ControlText(&dlg, "serialEdit"), "123456789");

        // ...and is refused once its clock has drifted ten steps.
        rig.remote.DriftBy(10);
        ASSERT_TRUE(PressTokenAndWaitFor(dlg, kRefused));

        // Unplugging the IR receiver empties the token lines; plugging it back in is
        // noticed at once (the wait between searches is 45 s).
        rig.kit.UnplugIr();
        ASSERT_TRUE(WaitText(&dlg, "irStatusLabel", kIrNotFound));
        EXPECT_EQ(ControlText(&dlg, "tokenStatusLabel"), "");
        EXPECT_EQ(ControlText(&dlg, "serialEdit"), "");
        EXPECT_EQ(ControlText(&dlg, "passwordEdit"), "");
        EXPECT_EQ(ControlText(&dlg, "gameStatusLabel"), kGameWorking);
        // The status line keeps its text; its tooltip says why, as doctor would.
        auto* irLine = dlg.findChild<QLabel*>("irStatusLabel");
        EXPECT_EQ(irLine->toolTip().toStdString(),
                  "no IR receiver of the kit (USB 0471:0606) among the hidraw nodes");
        EXPECT_EQ(irLine->toolTip().toStdString(), ReceiverTroubleReason(*rig.kit.Hid(), true));
        EXPECT_EQ(dlg.findChild<QLabel*>("gameStatusLabel")->toolTip(), "");
        rig.kit.PlugIr();
        ASSERT_TRUE(WaitText(&dlg, "irStatusLabel", kIrWorking));
        EXPECT_EQ(irLine->toolTip(), "");
        rig.remote.DriftBy(-10);
        m_clock += 30;  // a fresh password: the last accepted one cannot be used again
        ASSERT_TRUE(PressTokenAndWaitFor(dlg, kVerified));

        QTest::keyClick(&dlg, Qt::Key_Escape);
        EXPECT_FALSE(dlg.isVisible());
    });
    ExpectExitOrder();
}

TEST_F(KitE2eTest, CloseButtonRunsTheExitSequence) {
    RunApp([&](CMainDlg& dlg) {
        ASSERT_TRUE(WaitReceiversWorking(dlg));
        // What the window manager's close button does: a close request to the window.
        ASSERT_NE(dlg.windowHandle(), nullptr);
        dlg.windowHandle()->close();
        EXPECT_TRUE(ProcessEventsUntil([&] { return !dlg.isVisible(); }, kDeadline));
    });
    ExpectExitOrder();
}

// stderr into a pipe that nobody reads, or whose reader goes after a few bytes, and a
// burst of trace lines beyond what the pipe and the trace's queue hold: the remote
// still highlights its keys and Exit is as quick as ever.
class BadStderrE2eTest : public KitE2eTest {
protected:
    void SetUp() override {
        KitE2eTest::SetUp();
        ASSERT_EQ(pipe(m_pipe), 0);
        m_saved = dup(STDERR_FILENO);
        dup2(m_pipe[1], STDERR_FILENO);
        close(m_pipe[1]);
    }
    void TearDown() override {
        // The writer, if stuck on this pipe, gets EPIPE and drops what is queued
        // before stderr is the test's own again.
        if (m_pipe[0] >= 0)
            close(m_pipe[0]);
        EXPECT_TRUE(TraceFlush(kDeadline));
        dup2(m_saved, STDERR_FILENO);
        close(m_saved);
        KitE2eTest::TearDown();
    }
    void CloseReaderAfterAFewBytes() {
        Trace("[KEYWARDEN] a line for the reader");
        char bytes[4];
        ASSERT_EQ(read(m_pipe[0], bytes, sizeof bytes), 4);
        close(m_pipe[0]);
        m_pipe[0] = -1;
    }
    void RunWithBurst() {
        RunApp([&](CMainDlg& dlg) {
            ASSERT_TRUE(WaitReceiversWorking(dlg));
            const std::string pad(100, 'b');
            for (int i = 0; i < 30000; ++i)
                Trace("[KEYWARDEN] burst %d %s", i, pad.c_str());
            ASSERT_TRUE(rig.remote.HoldKey(49));
            EXPECT_TRUE(ProcessEventsUntil([&] { return dlg.HighlightedKey() == 49; }, kDeadline));
            rig.remote.Release();
            EXPECT_TRUE(ProcessEventsUntil([&] { return dlg.HighlightedKey() == 0; }, kDeadline));
            const auto begin = std::chrono::steady_clock::now();
            QTest::keyClick(&dlg, Qt::Key_Escape);
            EXPECT_FALSE(dlg.isVisible());
            // As quick as ever: not a thread held on the output until the exit's bound.
            EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
        });
        ExpectExitOrder();
        EXPECT_GT(TraceLostLines(), 0u);
    }

    int m_pipe[2] = {-1, -1};
    int m_saved = -1;
};

TEST_F(BadStderrE2eTest, StalledReader) {
    RunWithBurst();
}

TEST_F(BadStderrE2eTest, ReaderThatLeaves) {
    CloseReaderAfterAFewBytes();
    RunWithBurst();
}

// The calibration dialog with periods of a fraction of a second, on the real main
// dialog.
class CalibrationE2eTest : public KitE2eTest {
protected:
    static constexpr CEKeyInputforRevise::Periods kShort{400ms, 20s};

    // Presses the token key and waits until the calibration dialog's first field
    // shows its password.
    bool PressForFirstInput(const CEKeyInputforRevise& cal) {
        rig.remote.PressTokenKey();
        if (!rig.remote.WaitIdle(kDeadline))
            return false;
        return WaitText(&cal, "firstPasswordEdit",
                        QString::fromStdString(rig.remote.LastSentPassword()));
    }
};

TEST_F(CalibrationE2eTest, DriftedTokenIsCalibratedThroughTheButtonAndVerifiesAgain) {
    RunApp([&](CMainDlg& dlg) {
        ASSERT_TRUE(WaitReceiversWorking(dlg));
        rig.remote.DriftBy(10);
        ASSERT_TRUE(PressTokenAndWaitFor(dlg, kRefused));

        dlg.SetCalibrationPeriods(kShort.wait, kShort.timeout);
        // The button runs the dialog modally; this runs inside that modal loop.
        bool calibrated = false;
        QTimer::singleShot(0, &dlg, [&] {
            CEKeyInputforRevise* cal = nullptr;
            auto drive = [&] {
                if (!ProcessEventsUntil(
                        [&] {
                            cal = dlg.findChild<CEKeyInputforRevise*>();
                            return cal != nullptr && cal->isVisible();
                        },
                        kDeadline))
                    return false;
                EXPECT_TRUE(g_bCalibrating.load());
                if (!PressForFirstInput(*cal))
                    return false;
                EXPECT_EQ(ControlText(cal, "statusLabel"), kCalWait);
                EXPECT_FALSE(cal->findChild<QLineEdit*>("secondPasswordEdit")->isEnabled());
                if (!WaitText(cal, "statusLabel", kCalAgain))
                    return false;
                EXPECT_TRUE(cal->findChild<QLineEdit*>("secondPasswordEdit")->isEnabled());
                // Thirty seconds later on the token's clock.
                rig.remote.DriftBy(1);
                rig.remote.PressTokenKey();
                return ProcessEventsUntil([&] { return HasBox(kCalibrated); }, kDeadline);
            };
            calibrated = drive();
            // A failed step must not leave the modal dialog open.
            if (!calibrated && cal != nullptr && cal->isVisible())
                QTest::keyClick(cal, Qt::Key_Escape);
        });
        dlg.findChild<QPushButton*>("calibrateButton")->click();  // returns once it closed
        ASSERT_TRUE(calibrated);
        EXPECT_FALSE(g_bCalibrating.load());

        // The service took the new drift: the token verifies with its next password.
        rig.remote.DriftBy(1);
        ASSERT_TRUE(PressTokenAndWaitFor(dlg, kVerified));
        QTest::keyClick(&dlg, Qt::Key_Escape);
    });
    ExpectExitOrder();
}

TEST_F(CalibrationE2eTest, SamePasswordTwiceWaitsForAThirdInput) {
    RunApp([&](CMainDlg& dlg) {
        ASSERT_TRUE(WaitReceiversWorking(dlg));
        rig.remote.DriftBy(10);
        CEKeyInputforRevise cal(&dlg, kShort);
        cal.OnInitDialog();
        cal.show();
        ASSERT_TRUE(PressForFirstInput(cal));
        ASSERT_TRUE(WaitText(&cal, "statusLabel", kCalAgain));

        // The token's clock has not moved: the same password again.
        rig.remote.PressTokenKey();
        ASSERT_TRUE(WaitText(&cal, "statusLabel", kCalSame));
        EXPECT_EQ(ControlText(&cal, "secondPasswordEdit"), "");
        EXPECT_FALSE(HasBox(kCalibrated));

        ASSERT_TRUE(WaitText(&cal, "statusLabel", kCalAgain));
        rig.remote.DriftBy(1);
        rig.remote.PressTokenKey();
        ASSERT_TRUE(ProcessEventsUntil([&] { return HasBox(kCalibrated); }, kDeadline));
        EXPECT_TRUE(ProcessEventsUntil([&] { return !cal.isVisible(); }, kDeadline));
        QTest::keyClick(&dlg, Qt::Key_Escape);
    });
    ExpectExitOrder();
}

TEST_F(CalibrationE2eTest, ButtonOpensTheDialogAndEscapeClosesIt) {
    RunApp([&](CMainDlg& dlg) {
        ASSERT_TRUE(WaitReceiversWorking(dlg));
        // The button runs the dialog modally; this runs inside that modal loop.
        bool sawDialog = false;
        QTimer::singleShot(0, &dlg, [&] {
            CEKeyInputforRevise* cal = nullptr;
            sawDialog = ProcessEventsUntil(
                [&] {
                    cal = dlg.findChild<CEKeyInputforRevise*>();
                    return cal != nullptr && cal->isVisible();
                },
                kDeadline);
            if (sawDialog) {
                EXPECT_TRUE(g_bCalibrating.load());
                QTest::keyClick(cal, Qt::Key_Escape);
            }
        });
        dlg.findChild<QPushButton*>("calibrateButton")->click();
        EXPECT_TRUE(sawDialog);
        EXPECT_FALSE(g_bCalibrating.load());
        // The main dialog verifies again.
        ASSERT_TRUE(PressTokenAndWaitFor(dlg, kVerified));
        QTest::keyClick(&dlg, Qt::Key_Escape);
    });
    ExpectExitOrder();
}

// The installed demo starts the simulator installed with it, not the build tree's
// (which a user's machine does not have); the built one keeps finding its tree's.
TEST(DemoFilesTest, InstalledBesideTheProgramElseTheBuildTrees) {
    const std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("demo-files-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root / "usr/bin");
    std::filesystem::create_directories(root / "usr/libexec/quillon");
    const std::string bin = (root / "usr/bin").string();
    const std::string installed = "../libexec/quillon/token_service_sim";
    EXPECT_EQ(InstalledOrBuilt(bin, installed, "/build/sim"), "/build/sim");
    std::ofstream(root / "usr/libexec/quillon/token_service_sim") << "#!/bin/sh\n";
    EXPECT_EQ(InstalledOrBuilt(bin, installed, "/build/sim"),
              (root / "usr/libexec/quillon/token_service_sim").string());
    EXPECT_EQ(InstalledOrBuilt("", installed, "/build/sim"), "/build/sim");
    // A directory of that name is not the program.
    EXPECT_EQ(InstalledOrBuilt(bin, "../libexec/quillon", "/build/sim"), "/build/sim");
    std::filesystem::remove_all(root);
    // This test program is in the build tree: the simulator built alongside.
    EXPECT_TRUE(std::filesystem::is_regular_file(KitRig::DefaultSimulator()))
        << KitRig::DefaultSimulator();
    EXPECT_TRUE(std::filesystem::is_regular_file(KitRig::DemoRecording()))
        << KitRig::DemoRecording();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
