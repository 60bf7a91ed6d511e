// The calibration dialog on Qt's offscreen platform with short periods: frames come
// through the main dialog's OnTokenTaken on a worker thread, as from the IR
// dispatcher, and requests go to a loopback service.

#include "app/calibration_dlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QWindow>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "app/main_dlg.h"
#include "platform/process/running.h"
#include "platform/process/trace.h"
#include "service/http_transport.h"
#include "service/token_frame_box.h"
#include "service/token_verification.h"
#include "tests/app/app_fakes.h"
#include "tests/app/temp_dir.h"
#include "tests/service/loopback_server.h"

namespace {

using namespace std::chrono_literals;
using Periods = CEKeyInputforRevise::Periods;

constexpr const char* kStatusWait = "请等待30秒再输入令匙键";
constexpr const char* kStatusAgain = "请再次输入令匙键";
constexpr const char* kStatusSame = "两次密码相同，请等待30秒再试";
constexpr const char* kNotPassed = "令匙校准不通过";
constexpr const char* kNetwork = "网络不通或服务器有问题，令匙校准不成功";

LoopbackServer::Reply Answer(std::string_view result) {
    return {{LoopbackServer::Http(200, ReviseEkeyReplyBody(result))}, LoopbackServer::Then::Close};
}

bool Contains(const std::string& s, std::string_view part) {
    return s.find(part) != std::string::npos;
}

// Processes events for `d`: for tests where nothing happening is the behaviour.
void Idle(std::chrono::milliseconds d) {
    WaitUntil([] { return false; }, d);
}

class CalibrationTest : public ::testing::Test {
protected:
    CalibrationTest() {
        ::setenv("no_proxy", "127.0.0.1", 1);
        g_bRunning = false;  // the main dialog's own verification fails at once
        g_bCalibrating = false;
        g_lastToken.Clear();
        SetVerificationEndpoint(m_server.Url());
        m_main = std::make_unique<CMainDlg>(m_services, CMainDlg::Receivers{});
        m_main->OnInitDialog();
    }
    ~CalibrationTest() override {
        m_main.reset();
        g_bRunning = false;
        g_bCalibrating = false;
        SetVerificationEndpoint("");
    }

    std::unique_ptr<CEKeyInputforRevise> Open(Periods periods) {
        auto dlg = std::make_unique<CEKeyInputforRevise>(m_main.get(), periods);
        dlg->OnInitDialog();
        dlg->show();
        return dlg;
    }

    // A token frame as the IR dispatcher delivers it.
    void Press(const std::string& serial, const std::string& password) {
        const std::string digits = serial + password;
        std::thread([&] { m_main->OnTokenTaken(digits.c_str()); }).join();
    }

    static QString Text(QWidget& w, const char* name) {
        if (auto* l = w.findChild<QLabel*>(name))
            return l->text();
        if (auto* e = w.findChild<QLineEdit*>(name))
            return e->text();
        ADD_FAILURE() << "no control " << name;
        return {};
    }
    static bool Shows(QWidget& w, const char* name, const char* text) {
        return WaitUntil([&] { return Text(w, name) == QString::fromUtf8(text); });
    }
    static void Key(QWidget& w, int key) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(&w, &press);
    }
    static bool Closed(CEKeyInputforRevise& dlg) {
        return WaitUntil([&] { return !dlg.isVisible(); }, 10s);
    }

    // First input, the wait, second input with another password, and the verdict.
    void Calibrate(CEKeyInputforRevise& dlg) {
        Press("111111111", "22222222");
        ASSERT_TRUE(Shows(dlg, "statusLabel", kStatusAgain));
        Press("111111111", "33333333");
        ASSERT_TRUE(Closed(dlg));
    }

    std::size_t TraceCount(std::string_view prefix) const {
        std::size_t n = 0;
        for (const std::string& line : m_trace.Lines())
            n += line.starts_with(prefix) ? 1u : 0u;
        return n;
    }

    ScopedTempCwd m_cwd;
    EventLog m_log;
    FakeServiceControl m_services{m_log};
    LoopbackServer m_server;
    TraceCapture m_trace;
    BoxRecorder m_boxes;
    std::unique_ptr<CMainDlg> m_main;
};

TEST_F(CalibrationTest, TemplateControlsAndNoButtons) {
    CEKeyInputforRevise dlg(nullptr);
    EXPECT_EQ(dlg.windowTitle(), "令匙校准");
    EXPECT_EQ(dlg.size(), QSize(516, 232));
    EXPECT_TRUE(dlg.findChildren<QPushButton*>().isEmpty());
    EXPECT_FALSE(dlg.windowFlags() & Qt::WindowSystemMenuHint);
    struct Control {
        const char* name;
        int id;
        QRect geometry;
        const char* text;
    } controls[] = {
        {"promptLabel", 1020, {34, 34, 202, 22}, "请按令匙键输入令匙值"},
        {"firstPasswordLabel", 1021, {34, 74, 132, 22}, "第一次动态密码："},
        {"firstPasswordEdit", 1017, {180, 68, 232, 34}, ""},
        {"statusLabel", 1022, {34, 120, 378, 22}, ""},
        {"secondPasswordLabel", 1019, {34, 170, 130, 22}, "第二次动态密码："},
        {"secondPasswordEdit", 1018, {180, 162, 236, 32}, ""},
    };
    for (const Control& c : controls) {
        QWidget* w = dlg.findChild<QWidget*>(c.name);
        ASSERT_NE(w, nullptr) << c.name;
        EXPECT_EQ(w->property("controlId").toInt(), c.id);
        EXPECT_EQ(w->geometry(), c.geometry) << c.name;
        EXPECT_EQ(Text(dlg, c.name), QString::fromUtf8(c.text));
        EXPECT_EQ(w->font().pointSize(), 12);
    }
    EXPECT_EQ(dlg.findChild<QLineEdit*>("firstPasswordEdit")->maxLength(), 10);
    EXPECT_EQ(dlg.findChild<QLineEdit*>("secondPasswordEdit")->maxLength(), 10);
}

// Raising a window that is not on the screen yet does nothing: the dialog must come
// forward once it is shown, over the main dialog that opened it.
TEST_F(CalibrationTest, ComesToTheFrontOnceShown) {
    class RaiseWatch : public QObject {
    public:
        std::vector<bool> onScreen;  // per raise: was the window shown then
        bool eventFilter(QObject* o, QEvent* e) override {
            if (e->type() == QEvent::ZOrderChange) {
                const QWindow* w = static_cast<QWidget*>(o)->windowHandle();
                onScreen.push_back(w != nullptr && w->isVisible());
            }
            return false;
        }
    } watch;
    m_main->show();
    CEKeyInputforRevise dlg(m_main.get());
    dlg.installEventFilter(&watch);
    bool active = false;
    QTimer::singleShot(0, &dlg, [&] {
        active = WaitUntil([&] { return QApplication::activeWindow() == &dlg; });
        Key(dlg, Qt::Key_Escape);
    });
    dlg.DoModal();
    EXPECT_EQ(watch.onScreen, std::vector<bool>{true});
    EXPECT_TRUE(active);
}

TEST_F(CalibrationTest, TwoPasswordsAWaitApartAreSentOnceAndPass) {
    m_server.Enqueue(Answer("0"));
    Press("999999999", "99999999");  // before the dialog opens: never used
    const auto seen = m_main->Snapshot();
    const QString screenSerial = Text(*m_main, "serialEdit");
    m_trace.Clear();

    auto dlg = Open({300ms, 60s});
    EXPECT_TRUE(g_bCalibrating);
    QWidget* secondLabel = dlg->findChild<QLabel*>("secondPasswordLabel");
    QWidget* secondEdit = dlg->findChild<QLineEdit*>("secondPasswordEdit");
    EXPECT_FALSE(secondLabel->isEnabled());
    EXPECT_FALSE(secondEdit->isEnabled());

    Press("111111111", "22222222");
    ASSERT_TRUE(Shows(*dlg, "firstPasswordEdit", "22222222"));
    EXPECT_EQ(Text(*dlg, "statusLabel"), kStatusWait);
    EXPECT_FALSE(secondEdit->isEnabled()) << "disabled for the whole first wait";

    // Presses during the wait are held, not rejected; the later replaces the earlier.
    const auto pressed = std::chrono::steady_clock::now();
    Press("111111111", "55555555");
    Press("222222222", "44444444");  // another token is not noticed
    if (std::chrono::steady_clock::now() - pressed < 150ms) {
        EXPECT_EQ(g_lastToken.Peek().password, "44444444") << "taken before the wait ended";
        EXPECT_EQ(m_server.Requests().size(), 0u);
    }
    // While the dialog is open the main dialog's members follow the frames, its screen
    // does not, and it verifies nothing.
    EXPECT_EQ(m_main->Snapshot().serial, "222222222");
    EXPECT_EQ(m_main->Snapshot().verifyResult, seen.verifyResult);

    ASSERT_TRUE(Closed(*dlg));
    EXPECT_FALSE(g_bCalibrating);
    EXPECT_TRUE(secondLabel->isEnabled());
    EXPECT_TRUE(secondEdit->isEnabled());
    EXPECT_EQ(Text(*dlg, "secondPasswordEdit"), "44444444");
    ASSERT_EQ(m_boxes.m_calls.size(), 1u);
    EXPECT_EQ(m_boxes.m_calls[0].text, "令匙校准通过");
    EXPECT_EQ(m_boxes.m_calls[0].caption, "Quillon");
    EXPECT_EQ(m_boxes.m_calls[0].icon, BoxIcon::None);

    const auto requests = m_server.Requests();
    ASSERT_EQ(requests.size(), 1u) << "one request, none by the main dialog";
    EXPECT_TRUE(Contains(requests[0], "<ekeysn>111111111</ekeysn>"));
    EXPECT_TRUE(Contains(requests[0], "<ekeydp1>22222222</ekeydp1><ekeydp2>44444444</ekeydp2>"));
    EXPECT_EQ(Text(*m_main, "serialEdit"), screenSerial) << "no refresh while calibrating";

    const std::vector<std::string> lines = m_trace.Lines();
    const std::vector<std::string> expected = {
        "[KEYWARDEN] m_hThread1 = 1",
        "[KEYWARDEN] First Input DP=22222222",
        "[KEYWARDEN] Begin Time is ",
        "[KEYWARDEN] End Time is ",
        "[KEYWARDEN] Second Input DP=44444444",
        "[KEYWARDEN] Enter AdjustEkey",
        "[KEYWARDEN] Step 1",
        "[KEYWARDEN] Step 1",
        "[KEYWARDEN] ReviseEkey =0",
        "[KEYWARDEN] ReviseEkey result =0",
    };
    ASSERT_EQ(lines.size(), expected.size()) << ::testing::PrintToString(lines);
    for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_TRUE(lines[i].starts_with(expected[i])) << lines[i];
    // The end tick is the second input's: at least one wait after the first.
    const long begin = std::stol(lines[2].substr(expected[2].size()));
    const long end = std::stol(lines[3].substr(expected[3].size()));
    EXPECT_GE(static_cast<std::uint32_t>(end - begin), 290u);
    EXPECT_LT(static_cast<std::uint32_t>(end - begin), 300u + 300u);
}

TEST_F(CalibrationTest, EqualPasswordsWaitAgainAndTheThirdIsSentUncompared) {
    m_server.Enqueue(Answer("0"));
    auto dlg = Open({400ms, 60s});
    Press("111111111", "22222222");
    ASSERT_TRUE(Shows(*dlg, "statusLabel", kStatusAgain));
    Press("111111111", "22222222");
    ASSERT_TRUE(Shows(*dlg, "statusLabel", kStatusSame));
    EXPECT_EQ(Text(*dlg, "secondPasswordEdit"), "") << "field 1018 emptied";
    EXPECT_EQ(dlg->Step(), 2);

    const auto pressed = std::chrono::steady_clock::now();
    Press("111111111", "22222222");  // the same again, during the second wait
    if (std::chrono::steady_clock::now() - pressed < 200ms) {
        EXPECT_EQ(g_lastToken.Peek().password, "22222222") << "taken before the wait ended";
    }

    ASSERT_TRUE(Closed(*dlg));
    const auto requests = m_server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(Contains(requests[0], "<ekeydp1>22222222</ekeydp1><ekeydp2>22222222</ekeydp2>"));
    ASSERT_EQ(m_boxes.m_calls.size(), 1u);
    EXPECT_EQ(m_boxes.m_calls[0].text, "令匙校准通过");
    EXPECT_EQ(m_trace.Count("[KEYWARDEN] ThirdInput DP=22222222"), 1u);
    EXPECT_EQ(TraceCount("[KEYWARDEN] Begin Time is "), 1u) << "the third step writes none";
    EXPECT_EQ(dlg->Step(), 1);
}

TEST_F(CalibrationTest, NoInputWaitsWithoutLimitUntilEscape) {
    auto dlg = Open({50ms, 150ms});
    Idle(600ms);  // several time-out periods: the limit starts with the first input
    Key(*dlg, Qt::Key_Return);
    Key(*dlg, Qt::Key_Enter);
    EXPECT_TRUE(dlg->isVisible()) << "Enter does not end the dialog";
    EXPECT_TRUE(g_bCalibrating);
    Key(*dlg, Qt::Key_Escape);
    ASSERT_TRUE(Closed(*dlg));
    EXPECT_FALSE(g_bCalibrating);
    EXPECT_TRUE(m_boxes.m_calls.empty());
    EXPECT_EQ(m_server.Requests().size(), 0u);

    // The main dialog verifies and refreshes again.
    g_bRunning = true;
    m_server.Enqueue(Answer("0"));
    Press("123456789", "87654321");
    EXPECT_TRUE(Shows(*m_main, "verifyResultLabel", "令匙验证通过"));
    EXPECT_EQ(Text(*m_main, "serialEdit"), "123456789");
    EXPECT_EQ(m_server.Requests().size(), 1u);
}

TEST_F(CalibrationTest, FirstInputOnlyTimesOutAndSendsNothing) {
    // Long enough that a loaded machine's lateness (half a second seen under
    // ThreadSanitizer) stays well below the limit counted twice.
    constexpr auto kLimit = 1000ms;
    auto dlg = Open({50ms, kLimit});
    const auto start = std::chrono::steady_clock::now();
    Press("111111111", "22222222");
    ASSERT_TRUE(Closed(*dlg));
    EXPECT_GE(std::chrono::steady_clock::now() - start, kLimit);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kLimit + 900ms);
    EXPECT_FALSE(g_bCalibrating);
    ASSERT_EQ(m_boxes.m_calls.size(), 1u);
    EXPECT_EQ(m_boxes.m_calls[0].text, "输入超时");
    EXPECT_EQ(m_boxes.m_calls[0].caption, "超时错误");
    EXPECT_EQ(m_boxes.m_calls[0].icon, BoxIcon::Error);
    EXPECT_EQ(m_server.Requests().size(), 0u);
    EXPECT_EQ(m_trace.Count("[KEYWARDEN] Enter AdjustEkey"), 0u);
    // No waiter outlives the dialog: a later frame stays where the main dialog put it.
    Press("111111111", "33333333");
    Idle(100ms);
    EXPECT_EQ(g_lastToken.Peek().password, "33333333");
}

TEST_F(CalibrationTest, VerdictBoxes) {
    struct Case {
        const char* name;
        LoopbackServer::Reply reply;
        bool throws;
        const char* text;
    } cases[] = {
        {"result 1", Answer("1"), false, kNotPassed},
        {"result 21030", Answer("21030"), false, kNotPassed},
        {"connection closed", {{}, LoopbackServer::Then::Close}, false, kNetwork},
        {"status 500",
         {{LoopbackServer::Http(500, "<soap:Envelope/>")}, LoopbackServer::Then::Close},
         false,
         kNetwork},
        {"exception", Answer("0"), true, "校准发生异常"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_boxes.m_calls.clear();
        m_trace.Clear();
        m_server.Enqueue(c.reply);
        auto dlg = Open({30ms, 60s});
        if (c.throws) {
            dlg->SetServiceCall(
                [](CUserAndHardwareService&, const char16_t*, const char16_t*, const char16_t*,
                   std::int32_t*) -> std::int32_t { throw std::runtime_error("injected"); });
        }
        Calibrate(*dlg);
        EXPECT_FALSE(g_bCalibrating);
        ASSERT_EQ(m_boxes.m_calls.size(), 1u);
        EXPECT_EQ(m_boxes.m_calls[0].text, QString::fromUtf8(c.text));
        EXPECT_EQ(m_boxes.m_calls[0].caption, "警告");
        EXPECT_EQ(m_boxes.m_calls[0].icon, BoxIcon::Error);
        // The status lines are written only when the call returned.
        EXPECT_EQ(TraceCount("[KEYWARDEN] ReviseEkey ="), c.throws ? 0u : 1u);
        EXPECT_EQ(m_trace.Count("[KEYWARDEN] Step 1"), 2u);
    }
}

TEST_F(CalibrationTest, OneWaiterAndOneRequestUnderBurstsAndRepeatedWaits) {
    m_server.SetDefaultReply(Answer("0"));
    auto dlg = Open({20ms, 60s});
    // A burst for the first input: one is taken, the rest wait for no one.
    std::thread([&] {
        for (int i = 0; i < 20; ++i)
            m_main->OnTokenTaken(("11111111110" + std::to_string(100000 + i)).c_str());
    }).join();
    ASSERT_TRUE(Shows(*dlg, "statusLabel", kStatusAgain));
    Idle(300ms);  // many more wait periods end while the second waiter waits
    std::thread([&] {
        for (int i = 0; i < 50; ++i)
            m_main->OnTokenTaken(("11111111120" + std::to_string(100000 + i)).c_str());
    }).join();
    ASSERT_TRUE(Closed(*dlg));
    EXPECT_FALSE(m_server.WaitForRequests(2, 300ms)) << "never more than one request";
    EXPECT_EQ(m_server.Requests().size(), 1u);
    EXPECT_EQ(TraceCount("[KEYWARDEN] First Input DP="), 1u);
    EXPECT_EQ(TraceCount("[KEYWARDEN] Second Input DP="), 1u);
    EXPECT_EQ(m_trace.Count("[KEYWARDEN] Enter AdjustEkey"), 1u);
    EXPECT_EQ(m_boxes.m_calls.size(), 1u);
}

TEST_F(CalibrationTest, SendingIgnoresTheTimeOutAndEscapeCancelsTheCall) {
    m_server.Enqueue({{}, LoopbackServer::Then::Stall});
    auto dlg = Open({30ms, 300ms});
    Press("111111111", "22222222");
    ASSERT_TRUE(Shows(*dlg, "statusLabel", kStatusAgain));
    Press("111111111", "33333333");
    ASSERT_TRUE(WaitUntil([&] { return m_server.Requests().size() == 1; }));
    Idle(700ms);  // past the time-out: it no longer applies
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_TRUE(m_boxes.m_calls.empty());

    // The server would stall until the client's own 30 s limit; Escape ends it now,
    // not when the transfer next looks up by itself (within a second).
    const auto escaped = std::chrono::steady_clock::now();
    Key(*dlg, Qt::Key_Escape);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_LT(std::chrono::steady_clock::now() - escaped, 600ms);
    EXPECT_FALSE(g_bCalibrating);
    Idle(100ms);
    EXPECT_TRUE(m_boxes.m_calls.empty()) << "no verdict after Escape";
    EXPECT_EQ(m_server.Requests().size(), 1u);
}

TEST_F(CalibrationTest, DestroyedWhileSendingEndsTheCallFirst) {
    m_server.Enqueue({{}, LoopbackServer::Then::Stall});
    auto dlg = Open({30ms, 60s});
    Press("111111111", "22222222");
    ASSERT_TRUE(Shows(*dlg, "statusLabel", kStatusAgain));
    Press("111111111", "33333333");
    ASSERT_TRUE(WaitUntil([&] { return m_server.Requests().size() == 1; }));
    const auto start = std::chrono::steady_clock::now();
    dlg.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 600ms);
    EXPECT_FALSE(g_bCalibrating);
    Idle(100ms);  // the sender's late verdict must find nothing to call
    EXPECT_TRUE(m_boxes.m_calls.empty());
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
