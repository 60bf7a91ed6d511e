// Bitmaps 132 and 133 as the program loads them: from the resources of the
// static picture library.
#include <gtest/gtest.h>
#include <QFile>
#include <QIcon>
#include <QImage>

#include "app/remote_picture.h"

namespace {

bool InsideSomeKey(int x, int y) {
    for (KeyId id : KeyIdsWithRect()) {
        const KeyRect r = GetKeyRect(id);
        if (x >= r.left && x < r.right && y >= r.top && y < r.bottom) {
            return true;
        }
    }
    return false;
}

}  // namespace

TEST(RemoteBitmaps, ResourcesLoadFromTheStaticLibrary) {
    InitRemoteResources();
    InitRemoteResources();  // harmless twice
    EXPECT_TRUE(QFile::exists(kBitmapNormalPath));
    EXPECT_TRUE(QFile::exists(kBitmapPressedPath));
    EXPECT_TRUE(QFile::exists(kIconProgramPath));

    for (int id : {kBitmapNormal, kBitmapPressed}) {
        const QPixmap pm = LoadRemoteBitmap(id);
        ASSERT_FALSE(pm.isNull()) << id;
        EXPECT_EQ(pm.size(), QSize(kRemotePictureWidth, kRemotePictureHeight)) << id;
    }
    EXPECT_TRUE(LoadRemoteBitmap(128).isNull());
    EXPECT_FALSE(LoadProgramIcon().isNull());
    EXPECT_EQ(QImage(kIconProgramPath).size(), QSize(128, 128));
}

TEST(RemoteBitmaps, AreEightBitPalettePictures) {
    InitRemoteResources();
    EXPECT_EQ(QImage(kBitmapNormalPath).format(), QImage::Format_Indexed8);
    EXPECT_EQ(QImage(kBitmapPressedPath).format(), QImage::Format_Indexed8);
}

TEST(RemoteBitmaps, DifferExactlyInsideTheKeys) {
    InitRemoteResources();
    const QImage normal = QImage(kBitmapNormalPath).convertToFormat(QImage::Format_RGB32);
    const QImage pressed = QImage(kBitmapPressedPath).convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(normal.size(), pressed.size());

    int outsideDiffs = 0;
    for (int y = 0; y < normal.height(); ++y) {
        for (int x = 0; x < normal.width(); ++x) {
            if (!InsideSomeKey(x, y) && normal.pixel(x, y) != pressed.pixel(x, y)) {
                ++outsideDiffs;
            }
        }
    }
    EXPECT_EQ(outsideDiffs, 0);

    for (KeyId id : KeyIdsWithRect()) {
        const KeyRect r = GetKeyRect(id);
        int diffs = 0;
        for (int y = r.top; y < r.bottom; ++y) {
            for (int x = r.left; x < r.right; ++x) {
                diffs += normal.pixel(x, y) != pressed.pixel(x, y) ? 1 : 0;
            }
        }
        // A visible change, not a stray pixel: at least a tenth of the key.
        EXPECT_GE(diffs * 10, r.Width() * r.Height()) << "key " << id;
    }
}
