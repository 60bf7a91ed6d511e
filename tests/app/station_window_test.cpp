// The station window on Qt's offscreen platform, driven as an operator drives it: a
// scan (the serial typed into the focused field and Enter), the scripted remote's
// keys, the token against the token-service simulator, Escape. The receivers are the
// virtual kit's, found through the real HID tree's roots, so the real receiver
// threads, decoder and verification client run under the window's run.

#include "app/station_window.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/station_picture.h"
#include "platform/process/running.h"
#include "receiver/hid_manager.h"
#include "service/token_verification.h"
#include "station/key_coverage.h"
#include "station/results_export.h"
#include "station/results_store_sqlite.h"
#include "tests/app/app_fakes.h"
#include "tools/virtual_kit/token_service_process.h"
#include "tools/virtual_kit/virtual_kit.h"
#include "tools/virtual_kit/virtual_remote.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kBound = 20s;  // generous: sanitizer builds are slow

std::int64_t NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class StationWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static VirtualKit kit(KitNodes::Served);
        s_kit = &kit;
        ::setenv("QUILLON_SYSFS_ROOT", kit.Bus().SysRoot().c_str(), 1);
        ::setenv("QUILLON_DEV_ROOT", kit.Bus().DevRoot().c_str(), 1);
        if (!kit.IrPlugged()) {
            kit.PlugIr();
            kit.PlugGame();
        }
    }

    void SetUp() override {
        g_bRunning = false;
        GetHidManager()->m_bServiceStopped = false;
        std::string templ = (fs::temp_directory_path() / "quillon-station-XXXXXX").string();
        ASSERT_NE(::mkdtemp(templ.data()), nullptr);
        m_dir = templ;
        fs::create_directories(m_dir + "/config");
        ::setenv("XDG_STATE_HOME", (m_dir + "/state").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (m_dir + "/config").c_str(), 1);
        remote =
            std::make_unique<VirtualRemote>(*s_kit, DemoToken(), [this] { return clock.load(); });
        std::string error;
        ASSERT_TRUE(sim.Start(QUILLON_TOKEN_SIM, m_dir + "/token-state.txt", m_dir + "/sim.log",
                              kBound, &error))
            << error;
        SetVerificationEndpoint(sim.Endpoint());
    }

    void TearDown() override {
        wnd.reset();
        remote.reset();
        sim.Stop();
        SetVerificationEndpoint("");
        g_bRunning = false;
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    void Open(std::optional<std::string> keys, std::chrono::milliseconds keyTimeout = 60s) {
        StationOptions options;
        options.keys = std::move(keys);
        options.keyTimeout = keyTimeout;
        options.version = "test";
        wnd = std::make_unique<CStationWnd>(services, options);
        wnd->OnInitDialog();
        wnd->show();
        QApplication::setActiveWindow(wnd.get());
        ASSERT_TRUE(WaitUntil([&] { return Serial()->hasFocus(); }));
    }

    QLineEdit* Serial() { return wnd->findChild<QLineEdit*>("serialEdit"); }
    QString Text(const char* name) {
        if (auto* label = wnd->findChild<QLabel*>(name))
            return label->text();
        ADD_FAILURE() << "no label " << name;
        return {};
    }
    bool Shows(const char* name, const QString& text, std::chrono::milliseconds bound = kBound) {
        return WaitUntil([&] { return Text(name) == text; }, bound);
    }

    // What a scanner does: the label's characters into the focused field, then Enter;
    // and then until both receiver threads hold their receiver.
    void Scan(const QString& serial) {
        const int ir = s_kit->IrOpens();
        const int game = s_kit->GameOpens();
        QWidget* focused = QApplication::focusWidget();
        ASSERT_EQ(focused, Serial());
        QTest::keyClicks(focused, serial);
        QTest::keyClick(focused, Qt::Key_Return);
        ASSERT_TRUE(wnd->Running());
        // The check's open, then the thread's.
        ASSERT_TRUE(WaitUntil(
            [&] { return s_kit->IrOpens() >= ir + 2 && s_kit->GameOpens() >= game + 2; }, kBound));
    }

    bool Ended() {
        return WaitUntil([&] { return !wnd->Running(); }, kBound);
    }

    // QUILLON_STATION_SHOTS=DIR keeps a picture of the window at 1366 x 728 as it is now,
    // for people to look at; nothing is checked on it.
    void Shot(const char* name) {
        const char* dir = std::getenv("QUILLON_STATION_SHOTS");
        if (dir == nullptr || *dir == '\0')
            return;
        wnd->resize(1366, 728);
        QApplication::processEvents();
        wnd->grab().save(QString::fromUtf8(dir) + "/" + name + ".png");
    }

    // The run's record as the store has it.
    RunRecord Stored(const std::string& id) {
        std::string error;
        auto store = SqliteResultsStore::Open(m_dir + "/state/quillon/results.sqlite", &error);
        EXPECT_TRUE(store) << error;
        RunRecord found;
        if (store) {
            store->Query({}, [&](const RunRecord& r) {
                if (r.id == id)
                    found = r;
                return true;
            });
        }
        return found;
    }

    // The run's line of `quillonctl results --json`, the built program on the same
    // store (this process's XDG_STATE_HOME and XDG_CONFIG_HOME).
    nlohmann::json CtlRecord(const std::string& id) {
        const std::string command = std::string(QUILLONCTL_EXE) + " results --json";
        FILE* pipe = ::popen(command.c_str(), "r");
        EXPECT_NE(pipe, nullptr) << command;
        if (pipe == nullptr)
            return {};
        std::string text;
        char buffer[4096];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
            text += buffer;
        EXPECT_EQ(::pclose(pipe), 0) << command << "\n" << text;
        nlohmann::json found;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
            EXPECT_FALSE(object.is_discarded()) << line;
            if (object.is_object() && object.value("id", "") == id)
                found = std::move(object);
        }
        EXPECT_FALSE(found.is_null()) << "run " << id << " not listed:\n" << text;
        return found;
    }

    static inline VirtualKit* s_kit = nullptr;
    std::string m_dir;
    std::atomic<std::int64_t> clock{NowSeconds()};
    std::unique_ptr<VirtualRemote> remote;
    TokenServiceProcess sim;
    EventLog log;
    FakeServiceControl services{log};
    std::unique_ptr<CStationWnd> wnd;
};

// A scan, every key, the token: PASS, in the store as shown; the next scan is the next
// unit, a retest of the same one, counted.
TEST_F(StationWindowTest, EveryKeyAndTheTokenPassAndTheNextScanStartsTheNextUnit) {
    Open(std::nullopt);
    Scan("123456789");
    EXPECT_TRUE(Shows("irStatusLabel", QString::fromUtf8("红外接收器设备工作正常")));
    EXPECT_TRUE(Shows("gameStatusLabel", QString::fromUtf8("游戏杆接收器设备工作正常")));
    EXPECT_TRUE(Text("missingLabel").startsWith("Missing (48): "));
    const std::vector<KeyId> all = *ParseKeySelection("all", nullptr);
    // Half, a look, then the rest.
    const std::vector<KeyId> first(all.begin(), all.begin() + 30);
    const std::vector<KeyId> rest(all.begin() + 30, all.end());
    ASSERT_TRUE(remote->PressEach(first));
    ASSERT_TRUE(
        Shows("missingLabel", QString("Missing (18): ") + QString::fromStdString(KeyNames(rest))));
    Shot("station-keys");
    ASSERT_TRUE(remote->PressEach(rest));
    ASSERT_TRUE(Shows("stepLabel", "Press the token key", 60s)) << Text("whyLabel").toStdString();
    Shot("station-token");
    auto* picture = wnd->findChild<StationRemoteView*>("remoteView");
    EXPECT_EQ(picture->Marks().pressed.size(), all.size());
    EXPECT_EQ(Text("missingLabel"), "");
    remote->PressTokenKey();
    ASSERT_TRUE(Ended());
    EXPECT_EQ(Text("verdictLabel"), QString::fromUtf8("✔ PASS"));
    Shot("station-pass");
    EXPECT_EQ(Text("missingLabel"), "All 48 keys pressed");
    EXPECT_EQ(Text("whyLabel"), "");
    EXPECT_EQ(Text("tokenSerialLabel"), "123456789");
    EXPECT_EQ(Text("tokenStatusLabel"), QString::fromUtf8("令匙输入成功"));
    EXPECT_EQ(Text("verifyResultLabel"), QString::fromUtf8(VerifyText(VerifyOutcome::Passed)));
    EXPECT_EQ(Text("serviceResultLabel"), "0");
    EXPECT_TRUE(Text("recordLabel").contains("results.sqlite"))
        << Text("recordLabel").toStdString();
    EXPECT_TRUE(Serial()->hasFocus());
    EXPECT_EQ(Serial()->text(), "");

    ASSERT_TRUE(wnd->LastRecord());
    const RunRecord& shown = *wnd->LastRecord();
    EXPECT_EQ(shown.labelSerial, "123456789");
    EXPECT_EQ(RecordJson(Stored(shown.id)), RecordJson(shown));
    EXPECT_EQ(CtlRecord(shown.id), RecordJson(shown));
    EXPECT_EQ(Text("countsLabel"),
              "Since opened: units 1, passed 1, first-pass yield 100%, retests 0");

    // The same unit again, quicker: a retest.
    wnd.reset();
    ::setenv("XDG_CONFIG_HOME", (m_dir + "/config").c_str(), 1);
    fs::create_directories(m_dir + "/config/quillon");
    std::ofstream(m_dir + "/config/quillon/quillon.conf") << "keys = 5\n";
    Open(std::nullopt);
    Scan("123456789");
    remote->Press(53);
    ASSERT_TRUE(Shows("stepLabel", "Press the token key"));
    clock += 30;  // the next password: the service takes each one once
    remote->PressTokenKey();
    ASSERT_TRUE(Ended());
    EXPECT_EQ(Text("verdictLabel"), QString::fromUtf8("✔ PASS"));
    EXPECT_EQ(wnd->LastRecord()->retest, 1);
    EXPECT_TRUE(Text("countsLabel").endsWith("retests 1")) << Text("countsLabel").toStdString();
}

// A key not pressed in time: FAIL naming it, on the picture and in the list; the
// service down: the error verdict in the main window's words.
TEST_F(StationWindowTest, AMissingKeyFailsByNameAndTheServiceDownIsAnError) {
    Open("5,6", 1500ms);
    Scan("");
    remote->Press(53);
    ASSERT_TRUE(Ended());
    EXPECT_EQ(Text("verdictLabel"), QString::fromUtf8("✘ FAIL"));
    EXPECT_EQ(Text("whyLabel"), "key 6 not pressed");
    Shot("station-fail");
    EXPECT_EQ(Text("missingLabel"), "Missing (1): 6");
    EXPECT_EQ(Text("irStatusLabel"), QString::fromUtf8("红外接收器设备工作正常"))
        << "the threads' end is not the receiver's";
    EXPECT_EQ(wnd->findChild<StationRemoteView*>("remoteView")->Marks().pressed,
              std::vector<KeyId>{53});
    EXPECT_EQ(wnd->LastRecord()->labelSerial, "");
    EXPECT_EQ(Stored(wnd->LastRecord()->id).outcome, RunOutcome::Fail);
    EXPECT_EQ(CtlRecord(wnd->LastRecord()->id), RecordJson(*wnd->LastRecord()));

    sim.Stop();
    SetVerificationEndpoint("http://127.0.0.1:1/keluserandhardwareservice.asmx");
    Scan("123456789");
    EXPECT_EQ(Text("verdictLabel"), "");  // the last unit's verdict goes with the scan
    remote->Press(53);
    remote->Press(54);
    ASSERT_TRUE(Shows("stepLabel", "Press the token key"));
    remote->PressTokenKey();
    ASSERT_TRUE(Ended());
    EXPECT_EQ(Text("verdictLabel"), QString::fromUtf8("✘ ERROR"));
    EXPECT_EQ(Text("whyLabel"), "token service unreachable");
    EXPECT_EQ(Text("verifyResultLabel"),
              QString::fromUtf8(VerifyText(VerifyOutcome::NetworkFailure)));
}

// Escape during a run asks first; No goes on, Yes ends it ABORTED and recorded. Escape
// when idle leaves by the exit sequence.
TEST_F(StationWindowTest, EscapeAbortsARunAfterAConfirmationAndLeavesWhenIdle) {
    Open("5");
    BoxRecorder boxes;
    Scan("123456789");
    boxes.m_answer = BoxAnswer::No;
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    ASSERT_EQ(boxes.m_calls.size(), 1u);
    EXPECT_EQ(boxes.m_calls[0].buttons, BoxButtons::YesNo);
    EXPECT_TRUE(wnd->Running());

    boxes.m_answer = BoxAnswer::Yes;
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    ASSERT_TRUE(Ended());
    EXPECT_EQ(Text("verdictLabel"), QString::fromUtf8("■ ABORTED"));
    EXPECT_EQ(Text("whyLabel"), "aborted by the operator");
    EXPECT_EQ(Stored(wnd->LastRecord()->id).outcome, RunOutcome::Aborted);
    EXPECT_TRUE(wnd->isVisible());

    GetHidManager()->m_bServiceStopped = true;  // as InitInstance leaves it
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_EQ(boxes.m_calls.size(), 2u);
    EXPECT_FALSE(wnd->isVisible());
    EXPECT_NE(log.IndexOf("service start"), -1);
}

// The operator field is reached by Alt+O and left by Enter (kept) or Escape (dropped,
// the window stays); the id is remembered between starts.
TEST_F(StationWindowTest, TheOperatorIdIsRememberedBetweenStarts) {
    Open("5");
    auto* op = wnd->findChild<QLineEdit*>("operatorEdit");
    QTest::keyClick(Serial(), Qt::Key_O, Qt::AltModifier);
    ASSERT_TRUE(WaitUntil([&] { return op->hasFocus(); }));
    QTest::keyClicks(op, "op-7");
    QTest::keyClick(op, Qt::Key_Return);
    EXPECT_TRUE(WaitUntil([&] { return Serial()->hasFocus(); }));
    QTest::keyClick(Serial(), Qt::Key_O, Qt::AltModifier);
    ASSERT_TRUE(WaitUntil([&] { return op->hasFocus(); }));
    QTest::keyClicks(op, "x");
    QTest::keyClick(op, Qt::Key_Escape);
    EXPECT_TRUE(wnd->isVisible());
    EXPECT_TRUE(WaitUntil([&] { return Serial()->hasFocus(); }));
    EXPECT_EQ(op->text(), "op-7");
    wnd.reset();
    Open("5");
    EXPECT_EQ(wnd->findChild<QLineEdit*>("operatorEdit")->text(), "op-7");
    BoxRecorder boxes;
    Scan("");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    ASSERT_TRUE(Ended());
    EXPECT_EQ(Stored(wnd->LastRecord()->id).operatorId, "op-7");
}

// At 1366 x 768 (less a title bar) every widget fits in the window and gets the room
// its text asks for, with every field filled as long as a run makes it.
TEST_F(StationWindowTest, TheLayoutFits1366x768) {
    Open(std::nullopt);
    const QString missing = "Missing (48): " + QString("game pad button 12, ").repeated(24);
    wnd->findChild<QLabel*>("missingLabel")->setText(missing);
    wnd->findChild<QLabel*>("flaggedLabel")->setText("Flagged (double or stuck): 5, 6, mute");
    wnd->findChild<QLabel*>("storeLabel")
        ->setText(
            "Records: /home/operator/.local/state/quillon/results.sqlite (3 waiting to be "
            "sent)");
    wnd->findChild<QLabel*>("verdictLabel")->setText(QString::fromUtf8("✘ FAIL"));
    wnd->findChild<QLabel*>("whyLabel")->setText("token not verified (result 21003)");
    wnd->findChild<QLabel*>("verifyResultLabel")
        ->setText(QString::fromUtf8(VerifyText(VerifyOutcome::NotPassed)));
    const QSize screen(1366, 768 - 40);
    EXPECT_LE(wnd->minimumSizeHint().width(), screen.width());
    EXPECT_LE(wnd->minimumSizeHint().height(), screen.height());
    wnd->resize(screen);
    QApplication::processEvents();
    const QRect window = wnd->rect();
    for (QWidget* w : wnd->findChildren<QWidget*>()) {
        if (!w->isVisible())
            continue;
        const QRect r(w->mapTo(wnd.get(), QPoint(0, 0)), w->size());
        EXPECT_TRUE(window.contains(r)) << w->objectName().toStdString();
        if (auto* label = qobject_cast<QLabel*>(w)) {
            const int needed = label->wordWrap() ? label->heightForWidth(label->width())
                                                 : label->sizeHint().height();
            EXPECT_GE(label->height(), needed) << w->objectName().toStdString();
            if (!label->wordWrap()) {
                EXPECT_GE(label->width(), label->sizeHint().width())
                    << w->objectName().toStdString();
            }
        }
    }
    // The picture scales, whole.
    auto* picture = wnd->findChild<StationRemoteView*>("remoteView");
    const QRect drawn = StationPictureRect(picture->rect());
    EXPECT_TRUE(picture->rect().contains(drawn));
    EXPECT_GE(drawn.height(), 530);
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
