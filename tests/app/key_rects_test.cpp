#include "app/key_rects.h"

#include <set>

#include <gtest/gtest.h>

TEST(KeyRects, PlacesKeysOfBothReceivers) {
    EXPECT_EQ(GetKeyRect(49), (KeyRect{13, 172, 39, 185}));     // digit 1
    EXPECT_EQ(GetKeyRect(8), (KeyRect{106, 172, 134, 186}));    // first entry
    EXPECT_EQ(GetKeyRect(244), (KeyRect{101, 131, 139, 167}));  // token key
    EXPECT_EQ(GetKeyRect(4097), (KeyRect{40, 448, 56, 468}));   // first game key
    EXPECT_EQ(GetKeyRect(4108), (KeyRect{0, 37, 15, 100}));     // last entry
}

TEST(KeyRects, KeysWithoutPlaceGiveZeros) {
    for (KeyId k : {KeyId{0}, KeyId{1}, KeyId{200}, KeyId{4096}, KeyId{4109}, KeyId{0xFFFF}}) {
        EXPECT_EQ(GetKeyRect(k), (KeyRect{0, 0, 0, 0})) << k;
        EXPECT_TRUE(GetKeyRect(k).IsEmpty());
    }
}

// The bitmaps rely on this: every key inside the picture, no two keys sharing a pixel.
TEST(KeyRects, FortyNineDisjointRectanglesInsideThePicture) {
    const auto ids = KeyIdsWithRect();
    ASSERT_EQ(ids.size(), 49u);
    EXPECT_EQ(std::set<KeyId>(ids.begin(), ids.end()).size(), 49u);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const KeyRect a = GetKeyRect(ids[i]);
        EXPECT_LT(a.left, a.right) << ids[i];
        EXPECT_LT(a.top, a.bottom) << ids[i];
        EXPECT_GE(a.left, 0);
        EXPECT_GE(a.top, 0);
        EXPECT_LE(a.right, kRemotePictureWidth);
        EXPECT_LE(a.bottom, kRemotePictureHeight);
        for (std::size_t j = i + 1; j < ids.size(); ++j) {
            const KeyRect b = GetKeyRect(ids[j]);
            const bool apart =
                a.right <= b.left || b.right <= a.left || a.bottom <= b.top || b.bottom <= a.top;
            EXPECT_TRUE(apart) << ids[i] << " overlaps " << ids[j];
        }
    }
}

TEST(KeyRects, PictureTopTruncatesTowardZero) {
    EXPECT_EQ(RemotePictureTop(536), 3);
    EXPECT_EQ(RemotePictureTop(531), 0);
    EXPECT_EQ(RemotePictureTop(529), 0);   // -1 / 2
    EXPECT_EQ(RemotePictureTop(527), -1);  // -3 / 2
    EXPECT_EQ(RemotePictureTop(0), -265);
    EXPECT_EQ(kRemoteFrameRight, kRemotePictureWidth + 52);
    EXPECT_EQ(kRemoteFrameHeight, 534);
}
