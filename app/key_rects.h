#pragma once

// Where every key sits on the picture of the remote. Qt-free, so the
// bitmap generator under tools/remote_bitmaps draws from the very table the
// dialog uses to highlight a key.

#include <cstdint>
#include <span>

#include "receiver/types.h"

// A key's rectangle on the picture, in picture pixels, origin at the picture's top
// left corner; right and bottom are exclusive. Four zeros: the key has no place.
struct KeyRect {
    std::int32_t left, top, right, bottom;

    constexpr bool IsEmpty() const { return left == 0 && top == 0 && right == 0 && bottom == 0; }
    constexpr std::int32_t Width() const { return right - left; }
    constexpr std::int32_t Height() const { return bottom - top; }
    friend constexpr bool operator==(const KeyRect&, const KeyRect&) = default;
};

// The 49-entry table; every other key id, 0 included, gives four zeros.
KeyRect GetKeyRect(KeyId k);

// Every key id that has a place, ascending (for the generator and the tests).
inline constexpr int kKeyRectCount = 49;
std::span<const KeyId> KeyIdsWithRect();

// Picture size of bitmaps 132 and 133, fixed.
inline constexpr int kRemotePictureWidth = 148;
inline constexpr int kRemotePictureHeight = 530;

// Layout of the dialog's client area, relative to its top left corner.
inline constexpr int kRemotePictureLeft = 50;  // picture's left edge
inline constexpr int kRemoteFrameLeft = 48;    // bump frame: 2 px outside the picture
inline constexpr int kRemoteFrameRight = 200;  // exclusive: picture width + 52
inline constexpr int kRemoteFrameWidth = kRemoteFrameRight - kRemoteFrameLeft;  // 152
inline constexpr int kRemoteFrameHeight = kRemotePictureHeight + 4;             // 534
inline constexpr int kRemoteFrameThickness = 2;

// Picture top for a client area of the given height: (height - 530) / 2, the
// division truncating toward zero (also when the client area is lower than 530).
constexpr int RemotePictureTop(int clientHeight) {
    return (clientHeight - kRemotePictureHeight) / 2;
}
