// The main dialog as a real X11 window (run under with_xvfb.sh): what reaches the
// screen after a highlight, and whether the Chinese texts have glyphs.

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QWindow>
#include <cstdlib>
#include <thread>

#include "app/key_rects.h"
#include "app/main_dlg.h"
#include "platform/process/running.h"
#include "tests/app/app_fakes.h"
#include "tests/app/temp_dir.h"

namespace {

class WindowTest : public ::testing::Test {
protected:
    ScopedTempCwd m_cwd;
    EventLog m_log;
    FakeServiceControl m_services{m_log};
};

QImage GrabFromServer(CMainDlg& dlg) {
    return dlg.screen()->grabWindow(dlg.winId()).toImage();
}

TEST_F(WindowTest, HighlightReachesTheScreenAndGoesAgain) {
    CMainDlg dlg(m_services, CMainDlg::Receivers{});
    dlg.OnInitDialog();
    dlg.show();
    ASSERT_TRUE(WaitUntil([&] { return dlg.windowHandle() && dlg.windowHandle()->isExposed(); }));

    for (KeyId key : {KeyId{49}, KeyId{244}, KeyId{4108}}) {
        SCOPED_TRACE(key);
        const KeyRect r = GetKeyRect(key);
        const int top = (dlg.height() - kRemotePictureHeight) / 2;
        const QPoint inKey(50 + (r.left + r.right) / 2, top + (r.top + r.bottom) / 2);
        // What the two bitmaps hold there; the screen must show exactly that.
        const QPoint inPicture((r.left + r.right) / 2, (r.top + r.bottom) / 2);
        const QRgb plain = LoadRemoteBitmap(kBitmapNormal).toImage().pixel(inPicture) | 0xFF000000u;
        const QRgb pressed =
            LoadRemoteBitmap(kBitmapPressed).toImage().pixel(inPicture) | 0xFF000000u;
        ASSERT_NE(plain, pressed);
        auto shown = [&] { return GrabFromServer(dlg).pixel(inKey) | 0xFF000000u; };
        ASSERT_TRUE(WaitUntil([&] { return shown() == plain; })) << "picture never painted";

        std::thread([&] { dlg.HighlightKey(key); }).join();
        EXPECT_TRUE(WaitUntil([&] { return shown() == pressed; })) << "highlight never painted";
        std::thread([&] { dlg.ClearHighlight(); }).join();
        EXPECT_TRUE(WaitUntil([&] { return shown() == plain; })) << "highlight never cleared";
    }
}

TEST_F(WindowTest, ChineseTextsHaveGlyphs) {
    CMainDlg dlg(m_services, CMainDlg::Receivers{});
    dlg.OnInitDialog();
    for (const QLabel* label : dlg.findChildren<QLabel*>()) {
        const QString text = label->text();
        QFontMetrics fm(label->font());
        for (QChar c : text) {
            EXPECT_TRUE(fm.inFont(c)) << label->objectName().toStdString() << " lacks U+"
                                      << std::hex << static_cast<int>(c.unicode());
        }
    }
    const QString sample = QString::fromUtf8("红外接收器设备工作正常令匙验证通过");
    QFontMetrics fm(dlg.font());
    for (QChar c : sample)
        EXPECT_TRUE(fm.inFont(c)) << std::hex << static_cast<int>(c.unicode());

    // For a look by eye: the whole window with every line filled.
    if (const char* out = std::getenv("QUILLON_SCREENSHOT")) {
        std::thread([&] {
            dlg.ShowIrStatus(0);
            dlg.ShowGameStatus(1);
            dlg.ShowTokenResult(0);
        }).join();
        dlg.show();
        ASSERT_TRUE(WaitUntil([&] { return dlg.windowHandle()->isExposed(); }));
        ASSERT_TRUE(
            WaitUntil([&] { return !dlg.findChild<QLabel*>("irStatusLabel")->text().isEmpty(); }));
        QApplication::processEvents();
        GrabFromServer(dlg).save(QString::fromLocal8Bit(out));
    }
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
