// The main dialog's logic on Qt's offscreen platform: status lines, token lines,
// comparison, fixed serial, verification, highlight, and the start and exit
// sequences of the application.

#include "app/main_dlg.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "app/app.h"
#include "app/calibration_dlg.h"
#include "app/key_rects.h"
#include "platform/process/running.h"
#include "receiver/hid_manager.h"
#include "service/http_transport.h"
#include "service/token_frame_box.h"
#include "service/token_verification.h"
#include "tests/app/app_fakes.h"
#include "tests/app/temp_dir.h"
#include "tests/service/loopback_server.h"

namespace {

constexpr const char* kFrame = "12345678987654321";  // serial 123456789, password 87654321

void WriteSnIni(std::string_view bytes) {
    std::ofstream out("SN.ini", std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string SnIni() {
    return ReadWholeFile("SN.ini");
}

class MainDlgTest : public ::testing::Test {
protected:
    MainDlgTest() {
        g_bRunning = false;
        g_bCalibrating = false;
        GetHidManager()->m_bServiceStopped = false;
        SetVerificationEndpoint("");
    }
    ~MainDlgTest() override {
        g_bRunning = false;
        g_bCalibrating = false;
        SetVerificationEndpoint("");
        SetFlowServiceConfig({});
    }

    // A dialog whose receiver threads are never started.
    std::unique_ptr<CMainDlg> MakeDialog() {
        auto dlg = std::make_unique<CMainDlg>(m_services, CMainDlg::Receivers{});
        dlg->OnInitDialog();
        return dlg;
    }

    static QString Text(CMainDlg& dlg, const char* name) {
        if (auto* l = dlg.findChild<QLabel*>(name))
            return l->text();
        if (auto* e = dlg.findChild<QLineEdit*>(name))
            return e->text();
        ADD_FAILURE() << "no control " << name;
        return {};
    }
    // Waits for the window thread to show `text` in control `name`.
    static bool Shows(CMainDlg& dlg, const char* name, const QString& text) {
        return WaitUntil([&] { return Text(dlg, name) == text; });
    }
    static void Refresh(CMainDlg& dlg) {
        QCoreApplication::sendPostedEvents(&dlg, CMainDlg::WM_REFRESH_FIELDS);
    }
    static bool CompareControlsHidden(CMainDlg& dlg) {
        const bool check = dlg.findChild<QCheckBox*>("compareCheck")->isHidden();
        const bool label = dlg.findChild<QLabel*>("compareLabel")->isHidden();
        const bool edit = dlg.findChild<QLineEdit*>("compareEdit")->isHidden();
        EXPECT_EQ(check, label);
        EXPECT_EQ(check, edit);
        return check;
    }
    // Calls from a worker thread, as the receiver and dispatcher threads do.
    template <typename F>
    static void OnWorker(F f) {
        std::thread(f).join();
    }

    ScopedTempCwd m_cwd;
    EventLog m_log;
    FakeServiceControl m_services{m_log};
};

// A receiver not found or not opened: the line's text stays the window's own, and its
// tooltip says why (what doctor would say); working again, the tooltip goes.
TEST_F(MainDlgTest, AStatusLineTellsWhyInItsTooltip) {
    std::atomic<int> asked{0};
    CMainDlg::Receivers receivers;
    receivers.why = [&](bool ir) {
        ++asked;
        return std::string(ir ? "/dev/hidraw3: mode 0600, owner root" : "held by 42 (keywarden)");
    };
    CMainDlg dlg(m_services, receivers);
    dlg.OnInitDialog();
    auto* ir = dlg.findChild<QLabel*>("irStatusLabel");
    auto* game = dlg.findChild<QLabel*>("gameStatusLabel");

    OnWorker([&] { dlg.ShowIrStatus(1); });
    EXPECT_TRUE(Shows(dlg, "irStatusLabel", "红外接收器设备未找到"));
    EXPECT_EQ(ir->toolTip(), "/dev/hidraw3: mode 0600, owner root");
    OnWorker([&] { dlg.ShowGameStatus(2); });
    EXPECT_TRUE(Shows(dlg, "gameStatusLabel", "游戏杆接收器设备打开失败"));
    EXPECT_EQ(game->toolTip(), "held by 42 (keywarden)");
    EXPECT_EQ(asked.load(), 2);

    OnWorker([&] { dlg.ShowIrStatus(0); });
    EXPECT_TRUE(Shows(dlg, "irStatusLabel", "红外接收器设备工作正常"));
    EXPECT_EQ(ir->toolTip(), "");
    EXPECT_EQ(asked.load(), 2) << "a working receiver needs no reason";
    EXPECT_EQ(game->toolTip(), "held by 42 (keywarden)");
}

TEST_F(MainDlgTest, StatusLinesAndTheirSideEffects) {
    auto dlg = MakeDialog();
    // The template's "checking" text is replaced by the empty members at start.
    EXPECT_EQ(Text(*dlg, "irStatusLabel"), "");
    EXPECT_EQ(Text(*dlg, "gameStatusLabel"), "");

    OnWorker([&] { dlg->ShowIrStatus(0); });
    EXPECT_TRUE(Shows(*dlg, "irStatusLabel", "红外接收器设备工作正常"));
    OnWorker([&] { dlg->ShowGameStatus(1); });
    EXPECT_TRUE(Shows(*dlg, "gameStatusLabel", "游戏杆接收器设备未找到"));
    OnWorker([&] { dlg->ShowGameStatus(2); });
    EXPECT_TRUE(Shows(*dlg, "gameStatusLabel", "游戏杆接收器设备打开失败"));
    OnWorker([&] { dlg->ShowGameStatus(0); });
    EXPECT_TRUE(Shows(*dlg, "gameStatusLabel", "游戏杆接收器设备工作正常"));

    OnWorker([&] {
        dlg->ShowTokenResult(0);
        dlg->OnTokenTaken(kFrame);
    });
    EXPECT_TRUE(Shows(*dlg, "serialEdit", "123456789"));
    EXPECT_EQ(Text(*dlg, "passwordEdit"), "87654321");
    EXPECT_EQ(Text(*dlg, "tokenStatusLabel"), "令匙输入成功");

    // Game-controller reports never touch the token lines.
    OnWorker([&] { dlg->ShowGameStatus(1); });
    Refresh(*dlg);
    EXPECT_EQ(Text(*dlg, "serialEdit"), "123456789");

    for (int code : {1, 2}) {
        OnWorker([&] {
            dlg->ShowTokenResult(0);
            dlg->OnTokenTaken(kFrame);
            dlg->ShowIrStatus(code);
        });
        EXPECT_TRUE(Shows(*dlg, "irStatusLabel",
                          code == 1 ? "红外接收器设备未找到" : "红外接收器设备打开失败"));
        EXPECT_EQ(Text(*dlg, "tokenStatusLabel"), "");
        EXPECT_EQ(Text(*dlg, "serialEdit"), "");
        EXPECT_EQ(Text(*dlg, "passwordEdit"), "");
    }
}

TEST_F(MainDlgTest, FailedTokenInputEmptiesOnlySerialAndPassword) {
    WriteSnIni("999999999");
    auto dlg = MakeDialog();
    dlg->findChild<QCheckBox*>("compareCheck")->click();
    const char* texts[] = {"", "令匙输入超时", "令匙输入中断", "令匙输入非法", "令匙输入长度非法"};
    for (int code = 1; code <= 4; ++code) {
        OnWorker([&] { dlg->OnTokenTaken(kFrame); });  // comparison and verification lines set
        Refresh(*dlg);
        const QString verify = Text(*dlg, "verifyResultLabel");
        EXPECT_FALSE(verify.isEmpty());
        EXPECT_EQ(Text(*dlg, "compareEdit"), "序列号不一致");
        OnWorker([&] { dlg->ShowTokenResult(code); });
        EXPECT_TRUE(Shows(*dlg, "tokenStatusLabel", texts[code]));
        EXPECT_EQ(Text(*dlg, "serialEdit"), "");
        EXPECT_EQ(Text(*dlg, "passwordEdit"), "");
        EXPECT_EQ(Text(*dlg, "verifyResultLabel"), verify);
        EXPECT_EQ(Text(*dlg, "compareEdit"), "序列号不一致");
    }
}

TEST_F(MainDlgTest, ComparisonToggleAndClearOutput) {
    WriteSnIni("123456789");
    auto dlg = MakeDialog();
    EXPECT_FALSE(CompareControlsHidden(*dlg));
    EXPECT_TRUE(Shows(*dlg, "fixedSerialEdit", "123456789"));
    auto* check = dlg->findChild<QCheckBox*>("compareCheck");
    EXPECT_FALSE(check->isChecked());

    // Off: the comparison field keeps what it showed.
    OnWorker([&] { dlg->OnTokenTaken(kFrame); });
    Refresh(*dlg);
    EXPECT_EQ(Text(*dlg, "compareEdit"), "");

    check->click();
    EXPECT_TRUE(dlg->Snapshot().compare);
    OnWorker([&] { dlg->OnTokenTaken(kFrame); });
    EXPECT_TRUE(Shows(*dlg, "compareEdit", "序列号一致"));
    OnWorker([&] { dlg->OnTokenTaken("12345678087654321"); });
    EXPECT_TRUE(Shows(*dlg, "compareEdit", "序列号不一致"));

    // Toggling empties the field; off again, a frame leaves it alone.
    OnWorker([&] { dlg->OnTokenTaken(kFrame); });
    EXPECT_TRUE(Shows(*dlg, "compareEdit", "序列号一致"));
    check->click();
    EXPECT_FALSE(dlg->Snapshot().compare);
    EXPECT_TRUE(Shows(*dlg, "compareEdit", ""));
    OnWorker([&] { dlg->OnTokenTaken("00000000087654321"); });
    Refresh(*dlg);
    EXPECT_EQ(Text(*dlg, "compareEdit"), "");

    // Clear output empties the fixed serial in memory only; the next frame differs.
    check->click();
    OnWorker([&] { dlg->ShowIrStatus(0); });
    Refresh(*dlg);
    dlg->findChild<QPushButton*>("clearButton")->click();
    EXPECT_EQ(Text(*dlg, "serialEdit"), "");
    EXPECT_EQ(Text(*dlg, "passwordEdit"), "");
    EXPECT_EQ(Text(*dlg, "verifyResultLabel"), "");
    EXPECT_EQ(Text(*dlg, "fixedSerialEdit"), "");
    EXPECT_EQ(Text(*dlg, "irStatusLabel"), "红外接收器设备工作正常") << "status lines stay";
    EXPECT_EQ(SnIni(), "123456789");
    OnWorker([&] { dlg->OnTokenTaken(kFrame); });
    EXPECT_TRUE(Shows(*dlg, "compareEdit", "序列号不一致"));
}

TEST_F(MainDlgTest, FixedSerialAtStart) {
    {
        auto dlg = MakeDialog();
        EXPECT_TRUE(CompareControlsHidden(*dlg)) << "no file";
    }
    WriteSnIni("12345678");
    {
        auto dlg = MakeDialog();
        EXPECT_TRUE(CompareControlsHidden(*dlg)) << "8 bytes";
    }
    WriteSnIni(
        std::string_view("1234\0"
                         "6789",
                         9));
    {
        auto dlg = MakeDialog();
        EXPECT_FALSE(CompareControlsHidden(*dlg));
        EXPECT_EQ(dlg->Snapshot().fixedSerial, "1234");
    }
    std::filesystem::remove("SN.ini");
    std::filesystem::create_directory("SN.ini");
    {
        auto dlg = MakeDialog();
        EXPECT_TRUE(CompareControlsHidden(*dlg)) << "a directory named SN.ini";
    }
}

TEST_F(MainDlgTest, SetFlow) {
    BoxRecorder boxes;
    auto dlg = MakeDialog();
    ASSERT_TRUE(CompareControlsHidden(*dlg));
    auto* edit = dlg->findChild<QLineEdit*>("fixedSerialEdit");
    auto* set = dlg->findChild<QPushButton*>("setButton");

    // Digits only, at most 9.
    QTest::keyClicks(edit, "12a3b456789012");
    EXPECT_EQ(edit->text(), "123456789");

    boxes.m_answer = BoxAnswer::No;
    set->click();
    ASSERT_EQ(boxes.m_calls.size(), 1u);
    EXPECT_EQ(boxes.m_calls[0].text, "是否设置固定密码");
    EXPECT_EQ(boxes.m_calls[0].caption, "请确认");
    EXPECT_EQ(boxes.m_calls[0].buttons, BoxButtons::YesNo);
    EXPECT_EQ(boxes.m_calls[0].icon, BoxIcon::None);
    EXPECT_FALSE(std::filesystem::exists("SN.ini"));
    EXPECT_EQ(dlg->Snapshot().fixedSerial, "");
    EXPECT_TRUE(CompareControlsHidden(*dlg));

    boxes.m_answer = BoxAnswer::Yes;
    set->click();
    EXPECT_EQ(boxes.m_calls.size(), 2u);
    EXPECT_EQ(SnIni(), "123456789");
    EXPECT_EQ(dlg->Snapshot().fixedSerial, "123456789");
    EXPECT_FALSE(CompareControlsHidden(*dlg));

    // Wrong length: warning, file unchanged, but the comparison now uses the 8 digits.
    WriteSnIni("123456789tail");
    edit->setText("12345678");
    set->click();
    ASSERT_EQ(boxes.m_calls.size(), 4u);
    EXPECT_EQ(boxes.m_calls[3].text, "输入的序列号长度不对，请重新输入");
    EXPECT_EQ(boxes.m_calls[3].caption, "警告");
    EXPECT_EQ(boxes.m_calls[3].icon, BoxIcon::Error);
    EXPECT_EQ(SnIni(), "123456789tail");
    dlg->findChild<QCheckBox*>("compareCheck")->click();
    OnWorker([&] { dlg->OnTokenTaken(kFrame); });
    EXPECT_TRUE(Shows(*dlg, "compareEdit", "序列号不一致"));

    // A 9-digit Set keeps the bytes after the ninth.
    edit->setText("555555555");
    set->click();
    EXPECT_EQ(SnIni(), "555555555tail");

    // Typed but not Set: the next refresh puts the member back.
    edit->setText("777");
    OnWorker([&] { dlg->ShowGameStatus(0); });
    EXPECT_TRUE(Shows(*dlg, "fixedSerialEdit", "555555555"));
}

TEST_F(MainDlgTest, NothingRefreshesOrVerifiesWhileCalibrating) {
    LoopbackServer server;
    SetVerificationEndpoint(server.Url());
    g_bRunning = true;
    auto dlg = MakeDialog();
    g_bCalibrating = true;
    const std::uint64_t before = g_lastToken.Sequence();
    OnWorker([&] {
        dlg->ShowIrStatus(0);
        dlg->OnTokenTaken(kFrame);
    });
    Refresh(*dlg);
    EXPECT_EQ(Text(*dlg, "irStatusLabel"), "");
    EXPECT_EQ(Text(*dlg, "serialEdit"), "");
    EXPECT_EQ(dlg->Snapshot().serial, "123456789") << "members still follow the frames";
    EXPECT_EQ(server.Requests().size(), 0u) << "no verification";
    EXPECT_EQ(dlg->Snapshot().verifyResult, "");
    const TokenFrame frame = g_lastToken.Peek();
    EXPECT_EQ(frame.seq, before + 1);
    EXPECT_EQ(frame.serial, "123456789");
    EXPECT_EQ(frame.password, "87654321");

    // The next refresh after calibration shows the latest strings.
    g_bCalibrating = false;
    OnWorker([&] { dlg->ShowGameStatus(0); });
    EXPECT_TRUE(Shows(*dlg, "irStatusLabel", "红外接收器设备工作正常"));
    EXPECT_EQ(Text(*dlg, "serialEdit"), "123456789");
}

TEST_F(MainDlgTest, VerificationTexts) {
    ::setenv("no_proxy", "127.0.0.1", 1);
    LoopbackServer server;
    SetVerificationEndpoint(server.Url());
    g_bRunning = true;
    auto dlg = MakeDialog();
    struct Case {
        std::string reply;  // empty: the server closes without answering
        const char* text;
    } cases[] = {
        {LoopbackServer::Http(200, ReviseEkeyReplyBody("0")), "令匙验证通过"},
        {LoopbackServer::Http(200, ReviseEkeyReplyBody("21030")), "令匙已经被绑定，拒绝验证"},
        {LoopbackServer::Http(200, ReviseEkeyReplyBody("1")), "令匙验证不通过，请尝试令匙校准"},
        {LoopbackServer::Http(200, ReviseEkeyReplyBody("-1")), "令匙验证不通过，请尝试令匙校准"},
        {LoopbackServer::Http(500, kSoapServerFaultBody), "网络不通或服务器有问题，令匙验证不成功"},
        {"", "网络不通或服务器有问题，令匙验证不成功"},
        {LoopbackServer::Http(200, ReviseEkeyReplyBody("0")), "令匙验证通过"},
    };
    std::size_t requests = 0;
    for (const Case& c : cases) {
        if (!c.reply.empty()) {
            server.Enqueue({{c.reply}, LoopbackServer::Then::Close});
        }
        OnWorker([&] { dlg->OnTokenTaken(kFrame); });
        ++requests;
        EXPECT_TRUE(Shows(*dlg, "verifyResultLabel", QString::fromUtf8(c.text))) << c.text;
    }
    const auto sent = server.Requests();
    ASSERT_EQ(sent.size(), requests) << "one call per frame, none retried";
    EXPECT_NE(sent[0].find("<ekeysn>123456789</ekeysn>"), std::string::npos);
    EXPECT_NE(sent[0].find("<ekeydp1>87654321</ekeydp1><ekeydp2>87654321</ekeydp2>"),
              std::string::npos);
}

TEST_F(MainDlgTest, VerificationInFlightEndsWhenRunningStops) {
    ::setenv("no_proxy", "127.0.0.1", 1);
    LoopbackServer server;
    server.Enqueue({{}, LoopbackServer::Then::Stall});
    SetVerificationEndpoint(server.Url());
    g_bRunning = true;
    auto dlg = MakeDialog();
    auto done = std::async(std::launch::async, [&] { dlg->OnTokenTaken(kFrame); });
    ASSERT_TRUE(server.WaitForRequests(1));
    StopRunning();
    // The server would stall for the client's 30 s time-out; the stop ends the call at
    // once, not when the transfer next looks up by itself (within a second).
    ASSERT_EQ(done.wait_for(std::chrono::milliseconds(600)), std::future_status::ready);
    EXPECT_TRUE(Shows(*dlg, "verifyResultLabel", "网络不通或服务器有问题，令匙验证不成功"));
}

TEST_F(MainDlgTest, BadConfigurationFileShowsOneBoxAndNothingIsSent) {
    ::setenv("no_proxy", "127.0.0.1", 1);
    LoopbackServer server;
    ConfigEnvironment env;
    env.xdgConfigHome = (m_cwd.Path() / "xdg").string();
    env.systemDir = (m_cwd.Path() / "etc").string();
    const std::filesystem::path file = m_cwd.Path() / "xdg" / "quillon" / "quillon.conf";
    std::filesystem::create_directories(file.parent_path());
    auto write = [&](const std::string& text) { std::ofstream(file, std::ios::trunc) << text; };

    // The endpoint line is fine; the file as a whole is not, so it is not used at all.
    write("endpoint = " + server.Url() + "\nproxy = 127.0.0.1\n");
    BoxRecorder boxes;
    EXPECT_FALSE(LoadServiceConfigAtStart(env));
    ASSERT_EQ(boxes.m_calls.size(), 1u);
    EXPECT_EQ(boxes.m_calls[0].text.toStdString(),
              "Bad configuration file:\n" + file.string() +
                  ":2: proxy: expected host:port\nThe token service will not be called until it "
                  "is corrected.");
    EXPECT_EQ(boxes.m_calls[0].caption, "WARNING");
    EXPECT_EQ(boxes.m_calls[0].icon, BoxIcon::Error);

    g_bRunning = true;
    auto dlg = MakeDialog();
    for (const std::string& override : {std::string(), server.Url()}) {
        SetVerificationEndpoint(override);  // the tools' override does not lift it either
        OnWorker([&] { dlg->OnTokenTaken(kFrame); });
        EXPECT_TRUE(Shows(*dlg, "verifyResultLabel", "网络不通或服务器有问题，令匙验证不成功"));
    }
    EXPECT_EQ(server.Connections(), 0u);

    // Corrected and read again: no box, and the file's endpoint is called.
    SetVerificationEndpoint("");
    write("endpoint = " + server.Url() + "\n");
    server.Enqueue({{LoopbackServer::Http(200, ReviseEkeyReplyBody("0"))}});
    EXPECT_TRUE(LoadServiceConfigAtStart(env));
    EXPECT_EQ(boxes.m_calls.size(), 1u);
    OnWorker([&] { dlg->OnTokenTaken(kFrame); });
    EXPECT_TRUE(Shows(*dlg, "verifyResultLabel", "令匙验证通过"));
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST_F(MainDlgTest, HighlightNeverWaitsForTheWindowThread) {
    auto dlg = MakeDialog();
    const KeyRect r = GetKeyRect(49);
    const int top = (dlg->height() - kRemotePictureHeight) / 2;
    const QPoint inKey(50 + (r.left + r.right) / 2, top + (r.top + r.bottom) / 2);
    const QRgb plain = dlg->grab().toImage().pixel(inKey);

    // The window thread processes nothing while the dispatcher calls run.
    OnWorker([&] { dlg->HighlightKey(49); });
    EXPECT_EQ(dlg->HighlightedKey(), 49);
    EXPECT_NE(dlg->grab().toImage().pixel(inKey), plain);

    OnWorker([&] {
        dlg->HighlightKey(200);  // no place on the picture
    });
    EXPECT_EQ(dlg->HighlightedKey(), 200);
    EXPECT_EQ(dlg->grab().toImage().pixel(inKey), plain);

    OnWorker([&] {
        dlg->HighlightKey(49);
        dlg->ClearHighlight();
    });
    EXPECT_EQ(dlg->HighlightedKey(), 0);
    EXPECT_EQ(dlg->grab().toImage().pixel(inKey), plain);
}

TEST_F(MainDlgTest, CalibrationButtonRunsTheCalibrationDialog) {
    auto dlg = MakeDialog();
    bool calibratingWhileOpen = false;
    QString title;
    CEKeyInputforRevise::Periods periods{};
    QTimer::singleShot(0, [&] {
        QWidget* calibration = nullptr;
        if (!WaitUntil(
                [&] { return (calibration = QApplication::activeModalWidget()) != nullptr; })) {
            ADD_FAILURE() << "no calibration dialog";
            return;
        }
        title = calibration->windowTitle();
        if (auto* c = qobject_cast<CEKeyInputforRevise*>(calibration))
            periods = c->GetPeriods();
        calibratingWhileOpen = g_bCalibrating.load();
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(calibration, &escape);
    });
    dlg->findChild<QPushButton*>("calibrateButton")->click();  // returns when it closes
    EXPECT_EQ(title, "令匙校准");
    // The real periods: 30 s between the two inputs, 120 s from the first.
    EXPECT_EQ(periods.wait, std::chrono::seconds(30));
    EXPECT_EQ(periods.timeout, std::chrono::seconds(120));
    EXPECT_TRUE(calibratingWhileOpen);
    EXPECT_FALSE(g_bCalibrating.load());
}

TEST_F(MainDlgTest, AboutBoxOpensAndCloses) {
    auto dlg = MakeDialog();
    QString title;
    QString line;
    QTimer::singleShot(0, [&] {
        QWidget* about = nullptr;
        if (!WaitUntil([&] { return (about = QApplication::activeModalWidget()) != nullptr; })) {
            ADD_FAILURE() << "no About box";
            return;
        }
        title = about->windowTitle();
        line = about->findChild<QLabel*>("versionLabel")->text();
        about->findChild<QPushButton*>("okButton")->click();
    });
    dlg->findChild<QPushButton*>("aboutButton")->click();  // returns when the box is closed
    EXPECT_EQ(title, "关于 Quillon");
    EXPECT_EQ(line, "Orvane遥控器诊断程序 1.0");
}

// --- application start and exit -----------------------------------------------------

class AppTest : public MainDlgTest {
protected:
    AppTest() : m_ir(m_log, "ir"), m_game(m_log, "game") { g_dwMutexError = 0; }
    ~AppTest() override { g_dwMutexError = 0; }

    CMainDlg::Receivers Receivers(std::chrono::milliseconds gameLinger = {}) {
        return {m_ir.Body(), m_game.Body(gameLinger), {}};
    }

    // Runs InitInstance; `drive` runs inside the modal loop once the dialog is shown and
    // both receiver threads run.
    void Run(CQuillonApp& app, const std::function<void(CMainDlg&)>& drive) {
        QTimer::singleShot(0, [&] {
            CMainDlg* dlg = nullptr;
            const bool up = WaitUntil([&] {
                dlg = qobject_cast<CMainDlg*>(QApplication::activeModalWidget());
                return dlg != nullptr && dlg->isVisible() && m_log.IndexOf("ir begin") >= 0 &&
                       m_log.IndexOf("game begin") >= 0;
            });
            if (!up) {
                ADD_FAILURE() << "dialog and threads never came up";
                if (dlg != nullptr)
                    dlg->OnExit();
                return;
            }
            drive(*dlg);
        });
        EXPECT_FALSE(app.InitInstance());
    }

    void ExpectStoppedThenOrderlyExit() {
        const int irEnd = m_log.IndexOf("ir end");
        const int gameEnd = m_log.IndexOf("game end");
        const int start = m_log.IndexOf("service start");
        ASSERT_GE(irEnd, 0);
        ASSERT_GE(gameEnd, 0);
        ASSERT_GE(start, 0);
        EXPECT_LT(irEnd, start);
        EXPECT_LT(gameEnd, start) << "the service may reopen the receivers only once we let go";
    }

    FakeReceiver m_ir;
    FakeReceiver m_game;
};

TEST_F(AppTest, StartStopsTheServiceAndExitRestartsItAfterTheThreads) {
    BoxRecorder boxes(&m_log);
    CQuillonApp app(m_services, Receivers(std::chrono::milliseconds(300)));
    Run(app, [](CMainDlg& dlg) { dlg.findChild<QPushButton*>("exitButton")->click(); });
    ASSERT_GE(boxes.m_calls.size(), 1u);
    EXPECT_EQ(boxes.m_calls[0].text, "For Quillon, Orvane Keywarden Service\nHas been stopped.");
    EXPECT_EQ(boxes.m_calls[0].caption, "Hint");
    EXPECT_LT(m_log.IndexOf("box Hint"), m_log.IndexOf("ir begin"));
    ExpectStoppedThenOrderlyExit();
    EXPECT_FALSE(g_bRunning);
}

TEST_F(AppTest, EscapeAndCloseExitTheSameWayEnterIsIgnored) {
    BoxRecorder boxes;
    for (const char* how : {"escape", "close"}) {
        SCOPED_TRACE(how);
        m_services.m_stopped = false;
        GetHidManager()->m_bServiceStopped = false;
        CQuillonApp app(m_services, Receivers());
        Run(app, [&](CMainDlg& dlg) {
            QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
            QApplication::sendEvent(&dlg, &enter);
            QKeyEvent enter2(QEvent::KeyPress, Qt::Key_Enter, Qt::KeypadModifier);
            QApplication::sendEvent(dlg.findChild<QLineEdit*>("fixedSerialEdit"), &enter2);
            EXPECT_TRUE(dlg.isVisible()) << "Enter must not end the dialog";
            EXPECT_TRUE(g_bRunning.load());
            if (std::string(how) == "escape") {
                QTest::keyClick(&dlg, Qt::Key_Escape);
            } else {
                dlg.close();
            }
        });
        ExpectStoppedThenOrderlyExit();
        m_log.Clear();
    }
}

TEST_F(AppTest, ServiceAlreadyStoppedIsLeftAlone) {
    BoxRecorder boxes;
    m_services.m_stopped = true;
    CQuillonApp app(m_services, Receivers());
    Run(app, [](CMainDlg& dlg) { dlg.findChild<QPushButton*>("exitButton")->click(); });
    EXPECT_TRUE(boxes.m_calls.empty());
    EXPECT_EQ(m_log.IndexOf("service stop"), -1);
    EXPECT_EQ(m_log.IndexOf("service start"), -1);
    EXPECT_GE(m_log.IndexOf("game end"), 0);
}

TEST_F(AppTest, SecondCopyOnlyShowsTheWarning) {
    BoxRecorder boxes;
    g_dwMutexError = 183;
    CQuillonApp app(m_services, Receivers());
    EXPECT_FALSE(app.InitInstance());
    ASSERT_EQ(boxes.m_calls.size(), 1u);
    EXPECT_EQ(boxes.m_calls[0].text, "Another instance is running...!");
    EXPECT_EQ(boxes.m_calls[0].caption, "WARNING");
    EXPECT_EQ(boxes.m_calls[0].icon, BoxIcon::Error);
    EXPECT_TRUE(m_log.Events().empty()) << "neither the service nor a thread was touched";
}

TEST_F(AppTest, ThreadThatCannotStartEndsTheProgram) {
    for (int failing : {0, 1}) {
        SCOPED_TRACE(failing);
        BoxRecorder boxes(&m_log);
        GetHidManager()->m_bServiceStopped = false;
        m_services.m_stopped = false;
        int started = 0;
        CMainDlg::Receivers receivers = Receivers(std::chrono::milliseconds(100));
        receivers.start = [&](WorkerThread& t, std::function<void()> body) {
            if (started++ == failing)
                return false;
            return t.Start(std::move(body));
        };
        CQuillonApp app(m_services, receivers);
        EXPECT_FALSE(app.InitInstance()) << "the modal run must end by itself";
        ASSERT_EQ(boxes.m_calls.size(), 2u);
        EXPECT_EQ(boxes.m_calls[1].text,
                  failing == 0 ? "无法启动HID线程，程序中止" : "无法启动HIDForGame线程，程序中止");
        EXPECT_EQ(boxes.m_calls[1].caption, "严重错误");
        EXPECT_EQ(boxes.m_calls[1].icon, BoxIcon::Error);
        const int start = m_log.IndexOf("service start");
        ASSERT_GE(start, 0);
        if (failing == 1) {
            ASSERT_GE(m_log.IndexOf("ir end"), 0);
            EXPECT_LT(m_log.IndexOf("ir end"), start);
        } else {
            EXPECT_EQ(m_log.IndexOf("ir begin"), -1);
        }
        EXPECT_EQ(m_log.IndexOf("game begin"), -1);
        m_log.Clear();
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
