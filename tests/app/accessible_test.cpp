// The windows as a screen reader reads them, through QAccessible on Qt's offscreen
// platform: every control named, in the form's language and in English; status lines
// telling their text; the remote pictures telling the held key.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTranslator>
#include <cstdlib>
#include <thread>

#include "app/about_dlg.h"
#include "app/accessibility.h"
#include "app/calibration_dlg.h"
#include "app/main_dlg.h"
#include "app/remote_picture.h"
#include "app/station_picture.h"
#include "app/station_window.h"
#include "platform/process/running.h"
#include "tests/app/app_fakes.h"
#include "tests/app/temp_dir.h"

namespace {

QAccessibleInterface* Face(QWidget* w) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(w);
    EXPECT_NE(face, nullptr) << w->objectName().toStdString();
    return face;
}

QString Name(QWidget* w) {
    QAccessibleInterface* face = Face(w);
    return face ? face->text(QAccessible::Name) : QString();
}

QString Description(QWidget* w) {
    QAccessibleInterface* face = Face(w);
    return face ? face->text(QAccessible::Description) : QString();
}

// The form's controls: every named child widget but Qt's own.
QList<QWidget*> Controls(QWidget& window) {
    QList<QWidget*> out;
    for (QWidget* w : window.findChildren<QWidget*>()) {
        if (!w->objectName().isEmpty() && !w->objectName().startsWith("qt_"))
            out.push_back(w);
    }
    return out;
}

// Every control has a name; returns them by object name.
std::map<std::string, QString> Names(QWidget& window) {
    std::map<std::string, QString> names;
    for (QWidget* w : Controls(window)) {
        const QString name = Name(w);
        EXPECT_FALSE(name.trimmed().isEmpty()) << w->objectName().toStdString();
        names[w->objectName().toStdString()] = name;
    }
    return names;
}

bool HasHan(const QString& s) {
    static const QRegularExpression han("[\\x{3000}-\\x{9fff}\\x{ff00}-\\x{ffef}]");
    return s.contains(han);
}

// Records the descriptions ChangeAccessibleDescription hands to Qt's DescriptionChanged.
class DescriptionEvents {
public:
    DescriptionEvents() {
        SetDescriptionHook([this](QWidget& w, const QString& text) {
            m_events.push_back({&w, text});
        });
    }
    ~DescriptionEvents() { SetDescriptionHook({}); }
    DescriptionEvents(const DescriptionEvents&) = delete;
    DescriptionEvents& operator=(const DescriptionEvents&) = delete;

    std::vector<QString> For(const QWidget* w) const {
        std::vector<QString> out;
        for (const auto& [who, text] : m_events) {
            if (who == w)
                out.push_back(text);
        }
        return out;
    }

private:
    std::vector<std::pair<QWidget*, QString>> m_events;
};

class AccessibleTest : public ::testing::Test {
protected:
    AccessibleTest() {
        g_bRunning = false;
        g_bCalibrating = false;
    }
    ~AccessibleTest() override { g_bRunning = false; }

    std::unique_ptr<CMainDlg> MainDialog(CMainDlg::Receivers receivers = {}) {
        auto dlg = std::make_unique<CMainDlg>(m_services, std::move(receivers));
        dlg->OnInitDialog();
        return dlg;
    }
    std::unique_ptr<CStationWnd> StationWindow() {
        StationOptions options;
        options.statePath = (m_cwd.Path() / "station-state").string();
        return std::make_unique<CStationWnd>(m_services, options);
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

// Every control of the four windows is named; the Chinese forms' names are Chinese,
// the station window's English, and with the English catalogue none is left Chinese.
TEST_F(AccessibleTest, EveryControlHasAName) {
    auto check = [&](bool english) {
        SCOPED_TRACE(english ? "English" : "as written");
        auto main = MainDialog();
        CEKeyInputforRevise calibration(nullptr);
        CAboutDlg about;
        auto station = StationWindow();
        for (QWidget* window : std::initializer_list<QWidget*>{main.get(), &calibration, &about}) {
            SCOPED_TRACE(window->objectName().toStdString());
            for (const auto& [control, name] : Names(*window))
                EXPECT_EQ(HasHan(name), !english) << control << ": " << name.toStdString();
        }
        for (const auto& [control, name] : Names(*station))
            EXPECT_FALSE(HasHan(name)) << control;
        EXPECT_EQ(Controls(*main).size(), 20);  // the form's 19 and the picture
        EXPECT_EQ(Controls(calibration).size(), 6);
        EXPECT_EQ(Controls(about).size(), 3);
        EXPECT_EQ(Controls(*station).size(), 32);
        if (!english) {
            EXPECT_EQ(Name(main->findChild<QWidget*>("irStatusLabel")), "红外接收器状态");
            EXPECT_EQ(Name(main->findChild<QWidget*>("exitButton")), "退出");
        }
    };
    check(false);
    QTranslator english;
    ASSERT_TRUE(english.load(":/i18n/quillon_en"));
    QCoreApplication::installTranslator(&english);
    check(true);
    QCoreApplication::removeTranslator(&english);
}

// A status line's name says what it reports; what it reports (and why, from its tooltip)
// is its description, as it changes.
TEST_F(AccessibleTest, AStatusLineTellsItsTextAsTheDescription) {
    CMainDlg::Receivers receivers;
    receivers.why = [](bool) { return std::string("/dev/hidraw3: mode 0600"); };
    auto dlg = MainDialog(receivers);
    auto* ir = dlg->findChild<QLabel*>("irStatusLabel");
    QAccessibleInterface* face = Face(ir);
    ASSERT_NE(face, nullptr);
    EXPECT_EQ(face->role(), QAccessible::StaticText);

    OnWorker([&] { dlg->ShowIrStatus(RECEIVER_WAITING); });
    ASSERT_TRUE(WaitUntil([&] { return ir->text() == "红外接收器设备未找到"; }));
    EXPECT_EQ(face->text(QAccessible::Name), "红外接收器状态");
    EXPECT_EQ(face->text(QAccessible::Description),
              "红外接收器设备未找到\n/dev/hidraw3: mode 0600");

    OnWorker([&] { dlg->ShowIrStatus(RECEIVER_READING); });
    ASSERT_TRUE(WaitUntil([&] { return ir->text() == "红外接收器设备工作正常"; }));
    EXPECT_EQ(face->text(QAccessible::Description), "红外接收器设备工作正常");

    // Empty: nothing to tell. A caption keeps Qt's own reading.
    auto* token = dlg->findChild<QLabel*>("tokenStatusLabel");
    EXPECT_EQ(Description(token), "");
    EXPECT_EQ(Name(token), "令匙输入状态");
    EXPECT_EQ(Description(dlg->findChild<QLabel*>("serialPrompt")), "");

    auto station = StationWindow();
    auto* verdict = station->findChild<QLabel*>("verdictLabel");
    verdict->setText(QString::fromUtf8("✘ FAIL"));
    EXPECT_EQ(Name(verdict), "Verdict");
    EXPECT_EQ(Description(verdict), QString::fromUtf8("✘ FAIL"));
}

// The main dialog paints its picture itself; the widget over it tells the held key as
// its description, once per change, and is reached with Tab.
TEST_F(AccessibleTest, TheMainPictureTellsTheHeldKey) {
    DescriptionEvents events;
    auto dlg = MainDialog();
    auto* area = dlg->findChild<RemotePictureArea*>("remotePicture");
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(area->geometry(), RemoteFrameRect(dlg->rect()));
    QAccessibleInterface* face = Face(area);
    ASSERT_NE(face, nullptr);
    EXPECT_EQ(face->role(), QAccessible::Graphic);
    EXPECT_EQ(face->text(QAccessible::Name), "遥控器图片");
    EXPECT_EQ(face->text(QAccessible::Description), "");
    auto shows = [&](const QString& text) {
        return WaitUntil([&] { return face->text(QAccessible::Description) == text; });
    };

    OnWorker([&] { dlg->HighlightKey(244); });
    EXPECT_TRUE(shows("token key"));
    OnWorker([&] {
        dlg->HighlightKey(49);
        dlg->HighlightKey(49);  // auto-repeat
    });
    EXPECT_TRUE(shows("1"));
    OnWorker([&] { dlg->ClearHighlight(); });
    EXPECT_TRUE(shows(""));
    OnWorker([&] { dlg->HighlightKey(4108); });
    EXPECT_TRUE(shows("game pad button 8"));
    OnWorker([&] { dlg->HighlightKey(200); });  // no name: its number
    EXPECT_TRUE(shows("200"));
    OnWorker([&] { dlg->ClearHighlight(); });
    EXPECT_TRUE(shows(""));
    EXPECT_EQ(events.For(area),
              (std::vector<QString>{"token key", "1", "", "game pad button 8", "200", ""}));

    dlg->show();
    QApplication::setActiveWindow(dlg.get());
    dlg->findChild<QPushButton*>("exitButton")->setFocus(Qt::OtherFocusReason);
    ASSERT_TRUE(WaitUntil([&] { return QApplication::focusWidget() != nullptr; }));
    const QImage unfocused = dlg->grab(area->geometry()).toImage();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), area);
    // A keyboard user sees where the focus went; nothing else is drawn over the picture.
    const QImage focused = dlg->grab(area->geometry()).toImage();
    EXPECT_NE(focused, unfocused);
    if (const char* out = std::getenv("QUILLON_SCREENSHOT"))
        focused.save(QString::fromUtf8(out));
    dlg->hide();
}

// The station window's picture likewise, from the marks the window hands it.
TEST_F(AccessibleTest, TheStationPictureTellsTheHeldKey) {
    DescriptionEvents events;
    auto wnd = StationWindow();
    auto* view = wnd->findChild<StationRemoteView*>("remoteView");
    ASSERT_NE(view, nullptr);
    QAccessibleInterface* face = Face(view);
    ASSERT_NE(face, nullptr);
    EXPECT_EQ(face->role(), QAccessible::Graphic);
    EXPECT_EQ(face->text(QAccessible::Name), "Remote control");

    view->SetMarks({38, {37}, {}});
    EXPECT_EQ(face->text(QAccessible::Description), "up arrow");
    view->SetMarks({38, {37, 38}, {}});  // rendered again, the same key held
    view->SetMarks({0, {37, 38}, {}});
    EXPECT_EQ(face->text(QAccessible::Description), "");
    EXPECT_EQ(events.For(view), (std::vector<QString>{"up arrow", ""}));
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
