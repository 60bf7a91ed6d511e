// Painting the picture side of the dialog into an image, as the dialog's
// paintEvent does onto its window.
#include "app/remote_picture.h"

#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <QImage>
#include <QPainter>
#include <QPalette>

namespace {

const QColor kFace(201, 190, 180);
const QColor kLight(250, 249, 248);
const QColor kShadow(3, 4, 5);
const QColor kUnpainted(255, 0, 255);

QPalette TestPalette() {
    QPalette pal;
    pal.setColor(QPalette::Window, kFace);
    pal.setColor(QPalette::Light, kLight);
    pal.setColor(QPalette::Shadow, kShadow);
    return pal;
}

class RemotePicture : public ::testing::Test {
protected:
    void SetUp() override {
        normal_ = LoadRemoteBitmap(kBitmapNormal);
        pressed_ = LoadRemoteBitmap(kBitmapPressed);
        ASSERT_FALSE(normal_.isNull());
        ASSERT_FALSE(pressed_.isNull());
        normalImg_ = normal_.toImage().convertToFormat(QImage::Format_RGB32);
        pressedImg_ = pressed_.toImage().convertToFormat(QImage::Format_RGB32);
    }

    // The client area of the dialog (794 x 536 by default) painted on an image.
    QImage Paint(KeyId highlight, QSize client = QSize(794, 536), qreal dpr = 1) const {
        QImage img(client * static_cast<int>(dpr), QImage::Format_RGB32);
        img.setDevicePixelRatio(dpr);
        img.fill(kUnpainted);
        QPainter p(&img);
        PaintRemoteArea(p, QRect(QPoint(0, 0), client), highlight, normal_, pressed_,
                        TestPalette());
        return img;
    }

    // Pixel (x, y) of the picture, as painted on a client area of height h.
    static QRgb PictureAt(const QImage& out, int x, int y, int h = 536) {
        return out.pixel(kRemotePictureLeft + x, RemotePictureTop(h) + y);
    }

    // Picture pixels that differ from `expected` as painted on a client area of height h
    // (only rows that lie inside the client area).
    static int Differences(const QImage& out, const QImage& expected, int h = 536) {
        int n = 0;
        for (int y = 0; y < kRemotePictureHeight; ++y) {
            const int cy = RemotePictureTop(h) + y;
            if (cy < 0 || cy >= out.height()) {
                continue;
            }
            for (int x = 0; x < kRemotePictureWidth; ++x) {
                n += PictureAt(out, x, y, h) == expected.pixel(x, y) ? 0 : 1;
            }
        }
        return n;
    }

    QPixmap normal_, pressed_;
    QImage normalImg_, pressedImg_;
};

TEST_F(RemotePicture, NoHighlightPaintsThePlainPicture) {
    EXPECT_EQ(Differences(Paint(0), normalImg_), 0);
}

TEST_F(RemotePicture, HighlightShowsOnlyThatKeyPressed) {
    const QImage out = Paint(49);
    const KeyRect r = GetKeyRect(49);
    int changed = 0;
    for (int y = 0; y < kRemotePictureHeight; ++y) {
        for (int x = 0; x < kRemotePictureWidth; ++x) {
            const bool inside = x >= r.left && x < r.right && y >= r.top && y < r.bottom;
            const QRgb want = inside ? pressedImg_.pixel(x, y) : normalImg_.pixel(x, y);
            ASSERT_EQ(PictureAt(out, x, y), want) << x << "," << y;
            changed += inside && want != normalImg_.pixel(x, y) ? 1 : 0;
        }
    }
    EXPECT_GT(changed, 0);
    // Back to no highlight: the plain picture again.
    EXPECT_EQ(Differences(Paint(0), normalImg_), 0);
}

TEST_F(RemotePicture, KeyWithoutPlacePaintsThePlainPicture) {
    EXPECT_EQ(Paint(200), Paint(0));
    EXPECT_EQ(Paint(4109), Paint(0));
}

TEST_F(RemotePicture, UpperSideKeyTouchesThePictureBorder) {
    const QImage plain = Paint(0);
    const QImage out = Paint(4108);
    int leftColumn = 0;
    for (int y = 37; y < 100; ++y) {
        leftColumn += PictureAt(out, 0, y) != PictureAt(plain, 0, y) ? 1 : 0;
    }
    EXPECT_GT(leftColumn, 0);
    EXPECT_NE(Differences(out, normalImg_), 0);
}

TEST_F(RemotePicture, BumpFrameSurroundsThePicture) {
    const QImage out = Paint(0);
    const int top = RemotePictureTop(536) - 2;  // 1
    const int bottom = top + 533;               // last row of the frame
    const QRgb light = kLight.rgb();
    const QRgb shadow = kShadow.rgb();
    for (int y = top + 2; y < bottom - 2; ++y) {
        EXPECT_EQ(out.pixel(48, y), light) << y;    // raised outside: light left
        EXPECT_EQ(out.pixel(49, y), shadow) << y;   // sunken inside: dark left
        EXPECT_EQ(out.pixel(198, y), light) << y;   // sunken inside: light right
        EXPECT_EQ(out.pixel(199, y), shadow) << y;  // raised outside: dark right
    }
    for (int x = 50; x < 198; ++x) {
        EXPECT_EQ(out.pixel(x, top), light) << x;
        EXPECT_EQ(out.pixel(x, top + 1), shadow) << x;
        EXPECT_EQ(out.pixel(x, bottom - 1), light) << x;
        EXPECT_EQ(out.pixel(x, bottom), shadow) << x;
    }
}

TEST_F(RemotePicture, ButtonFaceOutsideTheFrame) {
    const QImage out = Paint(0);
    const QRect frame = RemoteFrameRect(QRect(0, 0, 794, 536));
    EXPECT_EQ(frame, QRect(48, 1, 152, 534));
    for (int y = 0; y < out.height(); ++y) {
        for (int x = 0; x < out.width(); ++x) {
            if (!frame.contains(x, y)) {
                ASSERT_EQ(out.pixel(x, y), kFace.rgb()) << x << "," << y;
            }
            ASSERT_NE(out.pixel(x, y), kUnpainted.rgb()) << x << "," << y;
        }
    }
}

TEST(RemoteBackground, NeverErasesUnderThePicture) {
    QImage img(794, 536, QImage::Format_RGB32);
    img.fill(kUnpainted);
    QPainter p(&img);
    PaintRemoteBackground(p, img.rect(), TestPalette());
    p.end();
    const QRect frame = RemoteFrameRect(img.rect());
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            ASSERT_EQ(img.pixel(x, y), (frame.contains(x, y) ? kUnpainted : kFace).rgb())
                << x << "," << y;
        }
    }
}

TEST_F(RemotePicture, LowClientAreaCutsThePictureEquallyAtBothEnds) {
    // 533: only the frame's top edge is outside; the whole picture shows.
    EXPECT_EQ(Differences(Paint(0, QSize(300, 533)), normalImg_, 533), 0);
    EXPECT_EQ(RemoteFrameRect(QRect(0, 0, 300, 533)).top(), -1);
    for (int h : {529, 520, 301, 300}) {
        const QImage out = Paint(0, QSize(300, h));
        const int cut = -RemotePictureTop(h);
        EXPECT_EQ(Differences(out, normalImg_, h), 0) << h;
        // The rows shown are picture rows cut .. cut + h - 1: as many lost at the top
        // as at the bottom (one more at the bottom when the difference is odd).
        const int lostBottom = kRemotePictureHeight - cut - h;
        EXPECT_GE(lostBottom, cut) << h;
        EXPECT_LE(lostBottom - cut, 1) << h;
        EXPECT_EQ(PictureAt(out, 20, cut, h), normalImg_.pixel(20, cut)) << h;
        EXPECT_EQ(out.pixel(10, 0), kFace.rgb()) << h;
    }
}

TEST_F(RemotePicture, ScaledDisplayGetsWholePixelsNeverSmoothed) {
    const QImage one = Paint(49);
    const QImage two = Paint(49, QSize(794, 536), 2);
    ASSERT_EQ(two.size(), one.size() * 2);
    for (int y = 0; y < two.height(); ++y) {
        for (int x = 0; x < two.width(); ++x) {
            ASSERT_EQ(two.pixel(x, y), one.pixel(x / 2, y / 2)) << x << "," << y;
        }
    }
}

TEST_F(RemotePicture, FractionalRatioStillPaintsWholePixels) {
    // 1.5: the picture goes down at 1x, centred in the frame rectangle; every
    // pixel is one of the picture's or the button face, nothing blended.
    const QImage out = Paint(0, QSize(400, 536), 1.5);
    std::set<QRgb> allowed{kFace.rgb(), kLight.rgb(), kShadow.rgb()};
    for (int y = 0; y < normalImg_.height(); ++y) {
        for (int x = 0; x < normalImg_.width(); ++x) {
            allowed.insert(normalImg_.pixel(x, y));
        }
    }
    for (int y = 0; y < out.height(); ++y) {
        for (int x = 0; x < out.width(); ++x) {
            ASSERT_TRUE(allowed.count(out.pixel(x, y))) << x << "," << y;
        }
    }
}

TEST(RemoteMinimised, IconCentredInTheClientArea) {
    QPixmap red(32, 32);
    red.fill(Qt::red);
    const QIcon icon(red);
    QImage img(101, 80, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    PaintMinimisedIcon(p, QRect(0, 0, 101, 80), icon);
    p.end();
    // x = (101 - 32 + 1) / 2 = 35, y = (80 - 32 + 1) / 2 = 24
    EXPECT_EQ(img.pixel(35, 24), QColor(Qt::red).rgb());
    EXPECT_EQ(img.pixel(66, 55), QColor(Qt::red).rgb());
    EXPECT_EQ(img.pixel(34, 24), QColor(Qt::white).rgb());
    EXPECT_EQ(img.pixel(35, 23), QColor(Qt::white).rgb());
    EXPECT_EQ(img.pixel(67, 55), QColor(Qt::white).rgb());
}

TEST(HighlightState, RepaintOnlyWhenTheKeyChanges) {
    HighlightState s;
    EXPECT_EQ(s.Current(), 0);
    EXPECT_TRUE(s.Set(49));
    EXPECT_FALSE(s.Set(49));  // auto-repeat of a held key
    EXPECT_EQ(s.Current(), 49);
    EXPECT_TRUE(s.Set(200));  // no place on the picture, still stored
    EXPECT_EQ(s.Current(), 200);
    s.Clear();
    EXPECT_EQ(s.Current(), 0);
    EXPECT_FALSE(s.Set(0));
}

TEST(HighlightState, DispatcherThreadsRaceLastWriteWins) {
    HighlightState s;
    std::vector<std::thread> threads;
    for (KeyId k : {KeyId{49}, KeyId{4097}}) {
        threads.emplace_back([&s, k] {
            for (int i = 0; i < 10000; ++i) {
                s.Set(k);
                s.Clear();
            }
            s.Set(k);
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    const KeyId last = s.Current();
    EXPECT_TRUE(last == 0 || last == 49 || last == 4097) << last;
}

}  // namespace
