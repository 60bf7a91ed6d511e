// The windows in the user's language. CTest runs this program three times: under
// LANGUAGE=en (English catalogue), LANGUAGE=zh_CN (Chinese: the texts added in English
// translated, the others as they stand) and the C locale (every text as it stands); the
// environment's QUILLON_EXPECT_LANGUAGE says which ("en", "zh" or empty).

#include "app/translation.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionButton>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "app/about_dlg.h"
#include "app/calibration_dlg.h"
#include "app/main_dlg.h"
#include "app/message_box.h"
#include "app/station_window.h"
#include "decode/status_texts.h"
#include "platform/process/running.h"
#include "platform/text/translatable.h"
#include "receiver/types.h"
#include "service/token_calibration.h"
#include "service/token_verification.h"
#include "tests/app/app_fakes.h"
#include "tests/app/temp_dir.h"

namespace {

std::string Expected() {
    const char* expected = std::getenv("QUILLON_EXPECT_LANGUAGE");
    return expected != nullptr ? expected : "";
}

bool English() {
    return Expected() == "en";
}

bool HasChinese(const QString& text) {
    static const QRegularExpression han(QStringLiteral("[\\x{3000}-\\x{9fff}\\x{ff00}-\\x{ffef}]"));
    return han.match(text).hasMatch();
}

QString Status(const char* text) {
    return QCoreApplication::translate(kStatusTextContext, text);
}

// Every text a person reads on `top` and its children, with where it is.
std::vector<std::pair<std::string, QString>> Texts(QWidget& top) {
    std::vector<std::pair<std::string, QString>> texts;
    texts.emplace_back(top.objectName().toStdString() + " title", top.windowTitle());
    for (QWidget* w : top.findChildren<QWidget*>()) {
        const std::string where = w->objectName().toStdString();
        if (auto* l = qobject_cast<QLabel*>(w))
            texts.emplace_back(where, l->text());
        else if (auto* b = qobject_cast<QAbstractButton*>(w))
            texts.emplace_back(where, b->text());
        else if (auto* g = qobject_cast<QGroupBox*>(w))
            texts.emplace_back(where, g->title());
        else if (auto* e = qobject_cast<QLineEdit*>(w))
            texts.emplace_back(where + " placeholder", e->placeholderText());
    }
    std::erase_if(texts, [](const auto& t) { return t.second.isEmpty(); });
    return texts;
}

// What of `w`'s text does not fit in it, or "" when all of it does.
std::string Clipped(QWidget& w) {
    const QFontMetrics fm = w.fontMetrics();
    auto report = [&](const QString& text, int needed, int room) {
        return needed <= room
                   ? std::string()
                   : w.objectName().toStdString() + " \"" + text.toStdString() + "\" needs " +
                         std::to_string(needed) + " px, has " + std::to_string(room);
    };
    if (auto* l = qobject_cast<QLabel*>(&w)) {
        if (l->text().isEmpty() || l->wordWrap())
            return {};
        const int room = l->contentsRect().width() - 2 * l->margin() - std::max(0, l->indent());
        QString shown = l->text();
        if (l->buddy() != nullptr)
            shown.remove(QRegularExpression(QStringLiteral("&(?!&)")));
        return report(l->text(), fm.boundingRect(QRect(), 0, shown).width(), room);
    }
    if (auto* b = qobject_cast<QAbstractButton*>(&w)) {
        if (b->text().isEmpty())
            return {};
        QStyleOptionButton option;
        option.initFrom(b);
        option.text = b->text();
        const QStyle::SubElement contents = qobject_cast<QCheckBox*>(b) != nullptr
                                                ? QStyle::SE_CheckBoxContents
                                                : QStyle::SE_PushButtonContents;
        const int room = b->style()->subElementRect(contents, &option, b).width();
        return report(b->text(), fm.horizontalAdvance(QString(b->text()).remove(u'&')), room);
    }
    if (auto* g = qobject_cast<QGroupBox*>(&w))
        return report(g->title(), fm.horizontalAdvance(g->title()), g->width() - 16);
    return {};
}

void ExpectAllFit(QWidget& top) {
    for (QWidget* w : top.findChildren<QWidget*>()) {
        if (w->isVisibleTo(&top)) {
            EXPECT_EQ(Clipped(*w), "");
        }
    }
}

void ExpectLanguage(QWidget& top) {
    for (const auto& [where, text] : Texts(top)) {
        if (English()) {
            EXPECT_FALSE(HasChinese(text)) << where << ": " << text.toStdString();
        }
    }
}

template <typename F>
void OnWorker(F f) {
    std::thread(f).join();
}

TEST(TranslationTest, TheCatalogueFollowsTheLanguagesAsked) {
    EXPECT_EQ(LoadTranslation(), Expected());
    EXPECT_EQ(CatalogueFor({"C"}), "");
    EXPECT_EQ(CatalogueFor({"en", "en-Latn-US", "en-US"}), "en");
    EXPECT_EQ(CatalogueFor({"en-GB", "en-Latn-GB"}), "en");
    EXPECT_EQ(CatalogueFor({"de-DE", "de", "en"}), "en") << "a later language with a catalogue";
    EXPECT_EQ(CatalogueFor({"zh-CN", "zh-Hans-CN", "zh", "en"}), "zh");
    EXPECT_EQ(CatalogueFor({"zh-TW", "zh-Hant-TW", "en"}), "zh") << "Chinese before English";
    EXPECT_EQ(CatalogueFor({"fr-FR", "fr"}), "");
    EXPECT_EQ(CatalogueFor({}), "");

    // Both front ends see the same texts; the compared text is never the one shown.
    const char* source = IrStatusText(RECEIVER_WAITING);
    EXPECT_STREQ(source, "红外接收器设备未找到");
    EXPECT_EQ(QString::fromUtf8(Translate(kStatusTextContext, source)), Status(source));
    EXPECT_EQ(HasChinese(Status(source)), !English());
    EXPECT_STREQ(Translate(kStatusTextContext, "not in the catalogue"), "not in the catalogue");

    // Texts of the original that are English stay so in every language.
    for (const char* text : {"WARNING", "Another instance is running...!"})
        EXPECT_EQ(QCoreApplication::translate("CQuillonApp", text), text);
    for (const char* text : {"Hint", "For Quillon, Orvane Keywarden Service\nHas been stopped."})
        EXPECT_EQ(Status(text), text);
}

class WindowLanguageTest : public ::testing::Test {
protected:
    WindowLanguageTest() { LoadTranslation(); }
    ~WindowLanguageTest() override { g_bRunning = false; }

    ScopedTempCwd m_cwd;
    EventLog m_log;
    FakeServiceControl m_services{m_log};
};

// Every line the main dialog can show, in its place: the language asked, and whole.
TEST_F(WindowLanguageTest, MainDialog) {
    CMainDlg dlg(m_services, CMainDlg::Receivers{});
    dlg.OnInitDialog();
    dlg.show();
    ExpectLanguage(dlg);
    ExpectAllFit(dlg);

    auto* ir = dlg.findChild<QLabel*>("irStatusLabel");
    auto* game = dlg.findChild<QLabel*>("gameStatusLabel");
    auto* token = dlg.findChild<QLabel*>("tokenStatusLabel");
    for (int code : {RECEIVER_READING, RECEIVER_WAITING, RECEIVER_ENDED}) {
        OnWorker([&] {
            dlg.ShowIrStatus(code);
            dlg.ShowGameStatus(code);
        });
        ASSERT_TRUE(WaitUntil([&] { return ir->text() == Status(IrStatusText(code)); }));
        ASSERT_TRUE(WaitUntil([&] { return game->text() == Status(GameStatusText(code)); }));
        ExpectLanguage(dlg);
        ExpectAllFit(dlg);
    }
    for (int code = TOKEN_OK; code <= TOKEN_BAD_LENGTH; ++code) {
        OnWorker([&] { dlg.ShowTokenResult(code); });
        ASSERT_TRUE(WaitUntil([&] { return token->text() == Status(TokenResultText(code)); }));
        ExpectLanguage(dlg);
        ExpectAllFit(dlg);
    }
    // The verdicts and the comparison, in the controls that show them.
    auto* verdict = dlg.findChild<QLabel*>("verifyResultLabel");
    for (VerifyOutcome o : {VerifyOutcome::Passed, VerifyOutcome::Bound, VerifyOutcome::NotPassed,
                            VerifyOutcome::NetworkFailure, VerifyOutcome::Exception}) {
        verdict->setText(Status(VerifyText(o)));
        EXPECT_EQ(Clipped(*verdict), "");
        EXPECT_EQ(HasChinese(verdict->text()), !English()) << VerifyText(o);
    }
    auto* compare = dlg.findChild<QLineEdit*>("compareEdit");
    for (const char* text : {"序列号一致", "序列号不一致"}) {
        const QString shown = Status(text);
        EXPECT_LE(compare->fontMetrics().horizontalAdvance(shown), compare->width() - 8)
            << shown.toStdString();
        EXPECT_EQ(HasChinese(shown), !English());
    }

    if (!English()) {
        // The texts as they stand.
        OnWorker([&] { dlg.ShowIrStatus(RECEIVER_WAITING); });
        EXPECT_TRUE(WaitUntil([&] { return ir->text() == "红外接收器设备未找到"; }));
        EXPECT_EQ(dlg.windowTitle(), "Orvane遥控器诊断程序");
        EXPECT_EQ(dlg.findChild<QPushButton*>("setButton")->text(), "设置");
        EXPECT_EQ(dlg.findChild<QCheckBox*>("compareCheck")->text(), "固定序列号比对");
    } else {
        OnWorker([&] { dlg.ShowIrStatus(RECEIVER_WAITING); });
        EXPECT_TRUE(WaitUntil([&] { return ir->text() == "IR receiver not found"; }));
    }
}

// The boxes: their texts and captions, both of the main dialog and of the application.
TEST_F(WindowLanguageTest, MessageBoxes) {
    BoxRecorder boxes;
    CMainDlg dlg(m_services, CMainDlg::Receivers{});
    dlg.OnInitDialog();
    dlg.findChild<QLineEdit*>("fixedSerialEdit")->setText("123");
    dlg.findChild<QPushButton*>("setButton")->click();
    ASSERT_EQ(boxes.m_calls.size(), 2u);
    for (const BoxCall& box : boxes.m_calls) {
        EXPECT_EQ(HasChinese(box.text), !English()) << box.text.toStdString();
        EXPECT_EQ(HasChinese(box.caption), !English()) << box.caption.toStdString();
    }
    if (!English()) {
        EXPECT_EQ(boxes.m_calls[0].text, "是否设置固定密码");
        EXPECT_EQ(boxes.m_calls[1].text, "输入的序列号长度不对，请重新输入");
        EXPECT_EQ(boxes.m_calls[1].caption, "警告");
    }
}

TEST_F(WindowLanguageTest, CalibrationDialogAndAboutBox) {
    CEKeyInputforRevise cal(nullptr, CEKeyInputforRevise::Periods{});
    cal.show();
    ExpectLanguage(cal);
    ExpectAllFit(cal);
    auto* status = cal.findChild<QLabel*>("statusLabel");
    ASSERT_NE(status, nullptr);
    for (const char* text :
         {"请等待30秒再输入令匙键", "请再次输入令匙键", "两次密码相同，请等待30秒再试"}) {
        status->setText(Status(text));
        EXPECT_EQ(Clipped(*status), "");
        EXPECT_EQ(HasChinese(status->text()), !English()) << text;
    }
    if (!English()) {
        EXPECT_EQ(cal.findChild<QLabel*>("promptLabel")->text(), "请按令匙键输入令匙值");
    }

    CAboutDlg about(nullptr);
    about.show();
    ExpectLanguage(about);
    ExpectAllFit(about);
}

TEST_F(WindowLanguageTest, StationWindow) {
    StationOptions options;
    options.db = (std::filesystem::current_path() / "results.db").string();
    options.statePath = (std::filesystem::current_path() / "station.state").string();
    options.version = "test";
    CStationWnd wnd(m_services, options);
    wnd.show();
    ExpectLanguage(wnd);
    ExpectAllFit(wnd);
    // Its texts were added in English: Chinese has them translated, C as they stand.
    EXPECT_EQ(wnd.windowTitle(), Expected() == "zh" ? "Quillon 测试工位" : "Quillon station");
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
