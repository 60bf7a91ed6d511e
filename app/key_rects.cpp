#include "app/key_rects.h"

#include <algorithm>
#include <array>

namespace {

struct KeyPlace {
    KeyId key;
    KeyRect rect;
};

// Sorted by key id, so the look-up is a binary search.
constexpr std::array<KeyPlace, kKeyRectCount> kPlaces{{
    {8, {106, 172, 134, 186}},    // backspace, right of digit 3
    {13, {62, 273, 87, 298}},     // OK, centre of the arrow pad
    {27, {107, 231, 133, 244}},   // exit/back (yellow)
    {33, {112, 258, 133, 284}},   // channel up
    {34, {112, 287, 132, 318}},   // channel down
    {37, {44, 275, 60, 295}},     // left arrow
    {38, {65, 254, 84, 270}},     // up arrow
    {39, {89, 275, 105, 295}},    // right arrow
    {40, {65, 300, 84, 316}},     // down arrow
    {48, {44, 230, 71, 244}},     // 0
    {49, {13, 172, 39, 185}},     // 1
    {50, {44, 171, 70, 187}},     // 2
    {51, {74, 171, 102, 187}},    // 3
    {52, {12, 191, 38, 206}},     // 4
    {53, {43, 192, 72, 207}},     // 5
    {54, {75, 192, 101, 205}},    // 6
    {55, {11, 211, 39, 226}},     // 7
    {56, {43, 212, 72, 224}},     // 8
    {57, {75, 210, 102, 225}},    // 9
    {146, {13, 331, 43, 349}},    // record
    {147, {16, 356, 42, 373}},    // rewind
    {148, {105, 355, 132, 372}},  // fast forward
    {173, {55, 140, 95, 160}},    // mute
    {174, {16, 287, 36, 319}},    // volume down
    {175, {16, 257, 36, 284}},    // volume up
    {176, {104, 380, 133, 397}},  // next
    {177, {16, 380, 42, 396}},    // previous
    {178, {72, 364, 100, 390}},   // stop
    {179, {45, 364, 70, 390}},    // play/pause
    {227, {103, 331, 132, 349}},  // eject
    {233, {107, 211, 133, 225}},  // help/info (green)
    {234, {13, 135, 47, 162}},    // power (red)
    {235, {12, 231, 40, 245}},    // left of 0
    {236, {107, 192, 133, 205}},  // function, right of 6
    {238, {75, 231, 103, 245}},   // right of 0
    {243, {51, 332, 94, 358}},    // large red key
    {244, {101, 131, 139, 167}},  // token key (green)
    {4097, {40, 448, 56, 468}},   // lower pad: left
    {4098, {97, 448, 110, 468}},  // lower pad: right
    {4099, {65, 479, 85, 494}},   // lower pad: down
    {4100, {65, 423, 85, 438}},   // lower pad: up
    {4101, {20, 403, 48, 426}},   // small key above left of the lower pad
    {4102, {20, 97, 48, 127}},    // small key below left of the upper ring
    {4103, {35, 60, 61, 86}},     // upper ring: left (yellow)
    {4104, {92, 59, 122, 85}},    // upper ring: right (green)
    {4105, {63, 87, 88, 113}},    // upper ring: bottom (blue)
    {4106, {63, 28, 89, 55}},     // upper ring: top (red)
    {4107, {0, 433, 15, 500}},    // left edge, lower
    {4108, {0, 37, 15, 100}},     // left edge, upper
}};

static_assert(std::is_sorted(kPlaces.begin(), kPlaces.end(),
                             [](const KeyPlace& a, const KeyPlace& b) { return a.key < b.key; }));

constexpr std::array<KeyId, kKeyRectCount> MakeIds() {
    std::array<KeyId, kKeyRectCount> ids{};
    for (std::size_t i = 0; i < ids.size(); ++i) {
        ids[i] = kPlaces[i].key;
    }
    return ids;
}
constexpr std::array<KeyId, kKeyRectCount> kIds = MakeIds();

}  // namespace

KeyRect GetKeyRect(KeyId k) {
    auto it = std::lower_bound(kPlaces.begin(), kPlaces.end(), k,
                               [](const KeyPlace& p, KeyId key) { return p.key < key; });
    if (it != kPlaces.end() && it->key == k) {
        return it->rect;
    }
    return KeyRect{0, 0, 0, 0};
}

std::span<const KeyId> KeyIdsWithRect() {
    return kIds;
}
