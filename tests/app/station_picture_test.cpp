// The station window's picture: scaled whole into any space, pressed keys marked by a
// colour and a check mark, flagged keys by another colour and an exclamation mark.

#include "app/station_picture.h"

#include <gtest/gtest.h>

#include <QPainter>

#include "app/key_rects.h"
#include "app/remote_picture.h"

namespace {

struct Painted {
    QImage image;
    QRect picture;
};

Painted Paint(const QSize& size, const StationKeyMarks& marks) {
    InitRemoteResources();
    Painted out{QImage(size, QImage::Format_RGB32), {}};
    out.image.fill(Qt::white);
    QPainter p(&out.image);
    PaintStationPicture(p, out.image.rect(), LoadRemoteBitmap(kBitmapNormal).toImage(),
                        LoadRemoteBitmap(kBitmapPressed).toImage(), marks);
    out.picture = StationPictureRect(out.image.rect());
    return out;
}

// The key's rectangle on the painted image.
QRect On(const Painted& painted, KeyId key) {
    const KeyRect r = GetKeyRect(key);
    const double s = painted.picture.height() / double(kRemotePictureHeight);
    return QRect(painted.picture.left() + int(r.left * s), painted.picture.top() + int(r.top * s),
                 int(r.Width() * s), int(r.Height() * s));
}

// How many pixels of `rect` are mostly green, mostly orange, or white.
struct Counts {
    int green = 0, orange = 0, white = 0;
};
Counts Count(const QImage& image, const QRect& rect) {
    Counts c;
    for (int y = rect.top(); y <= rect.bottom(); ++y) {
        for (int x = rect.left(); x <= rect.right(); ++x) {
            const QColor px = image.pixelColor(x, y);
            c.green += px.green() > px.red() + 40 && px.green() > px.blue() + 40 ? 1 : 0;
            c.orange += px.red() > 180 && px.green() > 90 && px.blue() < 80 ? 1 : 0;
            c.white += px == QColor(Qt::white) ? 1 : 0;
        }
    }
    return c;
}

TEST(StationPicture, ScalesWholeIntoAnySpaceKeepingItsShape) {
    for (const QRect area : {QRect(0, 0, 148, 530), QRect(10, 20, 400, 1060), QRect(0, 0, 900, 300),
                             QRect(0, 0, 100, 900)}) {
        const QRect r = StationPictureRect(area);
        EXPECT_TRUE(area.contains(r));
        EXPECT_TRUE(r.width() >= area.width() - 1 || r.height() >= area.height() - 1);
        EXPECT_NEAR(r.width() / double(r.height()), 148.0 / 530.0, 0.01);
    }
}

TEST(StationPicture, PressedKeysAreGreenWithACheckMarkAndFlaggedOnesOrangeWithAMark) {
    const QSize size(296, 1060);  // twice the picture
    const Painted plain = Paint(size, {});
    const Painted marked = Paint(size, {0, {53, 54}, {54}});
    const Counts five = Count(marked.image, On(marked, 53));
    const Counts plainFive = Count(plain.image, On(plain, 53));
    EXPECT_GT(five.green, plainFive.green + On(marked, 53).width() * On(marked, 53).height() / 3);
    EXPECT_GT(five.white, 0) << "the check mark's outline";
    const Counts six = Count(marked.image, On(marked, 54));
    EXPECT_GT(six.orange, On(marked, 54).width() * On(marked, 54).height() / 3);
    EXPECT_LT(six.orange, On(marked, 54).width() * On(marked, 54).height()) << "and a mark";
    // Elsewhere nothing changes.
    EXPECT_EQ(marked.image.copy(On(marked, 55)), plain.image.copy(On(plain, 55)));

    // The held key as the main window shows it: the pressed bitmap's part.
    const Painted held = Paint(size, {55, {53}, {}});
    EXPECT_NE(held.image.copy(On(held, 55)), plain.image.copy(On(plain, 55)));
}

}  // namespace
