#include "receiver/hid_manager.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/hid/hid_device.h"
#include "platform/process/trace.h"

namespace {

struct IrEntry {
    IrScanCode code;
    KeyId key;
};

struct GameEntry {
    GameScanCode code;
    KeyId key;
};

constexpr IrEntry kIrKeys[] = {
    {0x2601, 49},   // digit 1
    {0x2602, 50},   // digit 2
    {0x2603, 51},   // digit 3
    {0x2604, 52},   // digit 4
    {0x2605, 53},   // digit 5
    {0x2606, 54},   // digit 6
    {0x2607, 55},   // digit 7
    {0x2608, 56},   // digit 8
    {0x2609, 57},   // digit 9
    {0x2600, 48},   // digit 0
    {0x2658, 38},   // up
    {0x2659, 40},   // down
    {0x265A, 37},   // left
    {0x265B, 39},   // right
    {0x2688, 233},  // help/info (green)
    {0x260C, 234},  // power (red)
    {0x2634, 8},    // backspace
    {0x269E, 8},    // backspace
    {0x2635, 13},   // enter
    {0x260D, 173},  // mute
    {0x264E, 27},   // escape
    {0x2610, 175},  // volume up
    {0x2611, 174},  // volume down
    {0x2620, 33},   // page up
    {0x2621, 34},   // page down
    {0x260A, 238},  // right of digit 0
    {0x263C, 146},  // record
    {0x266D, 147},  // rewind
    {0x266F, 148},  // fast forward
    {0x266E, 177},  // previous track
    {0x2670, 176},  // next track
    {0x2654, 179},  // play/pause
    {0x2671, 178},  // stop
    {0x2642, 227},  // eject
    {0x2633, 243},  // large red key
    {0x260F, 236},  // right of digit 6
    {0x2678, 235},  // left of digit 0
    {0x7F97, TOKEN_KEY_ID},
};

constexpr GameEntry kGameKeys[] = {
    {0x40000000, 0x1001}, {0x407F0000, 0x1002}, {0x00400000, 0x1003}, {0x7F400000, 0x1004},
    {0x40400002, 0x1005}, {0x40400001, 0x1006}, {0x40401000, 0x1007}, {0x40400100, 0x1008},
    {0x40400800, 0x1009}, {0x40400200, 0x100A}, {0x40404000, 0x100B}, {0x40408000, 0x100C},
};

}  // namespace

HidManager::HidManager() {
    for (const auto& e : kIrKeys)
        m_irKeyTable.emplace(e.code, e.key);
    for (const auto& e : kGameKeys)
        m_gameKeyTable.emplace(e.code, e.key);
}

KeyId HidManager::LookupIrKey(IrScanCode code) const {
    auto it = m_irKeyTable.find(static_cast<IrScanCode>(code & 0x7FFF));
    return it == m_irKeyTable.end() ? KeyId{0} : it->second;
}

KeyId HidManager::LookupGameKey(GameScanCode code) const {
    auto it = m_gameKeyTable.find(code);
    return it == m_gameKeyTable.end() ? KeyId{0} : it->second;
}

bool HidManager::IsValidIrReport(std::span<const std::uint8_t> report) {
    return report.size() == 6 && (report[0] & 0x03) == 0x03 && (report[1] & 0x01) == 0x01 &&
           (report[2] & 0x22) == 0x22 && (report[3] & 0xB0) == 0xB0;
}

bool HidManager::IsValidGameReport(std::span<const std::uint8_t> report) {
    return report.size() == 5 && (report[0] & 0x05) == 0x05;
}

namespace {

// What an exhausted enumeration leaves as the last error (ERROR_NO_MORE_ITEMS); the
// trace line has always shown it.
constexpr int kErrorNoMoreItems = 259;

}  // namespace

NodeRole InterfaceRole(std::uint16_t vendor, std::uint16_t product, std::uint16_t usagePage,
                       std::uint16_t usage) {
    if (vendor != ORVANE_VENDOR_ID || product != ORVANE_PRODUCT_ID)
        return NodeRole::NotKit;
    if (usagePage == IR_USAGE_PAGE && usage == IR_USAGE)
        return NodeRole::IrReceiver;
    if (usagePage == GAME_USAGE_PAGE && usage == GAME_USAGE)
        return NodeRole::GameReceiver;
    return NodeRole::OtherInterface;
}

std::optional<std::size_t> ChooseReceiver(
    const std::vector<std::string>& paths, NodeRole role,
    const std::function<std::optional<NodeRole>(std::size_t)>& identify) {
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (paths[i].size() >= kHidPathSize)
            continue;  // would not fit a receiver thread's buffer
        if (identify(i) == role)
            return i;
    }
    return std::nullopt;
}

bool HidManager::FindIrReceiver(HidSystem& hid, char (&path)[kHidPathSize]) {
    return FindReceiver(hid, path, NodeRole::IrReceiver);
}

bool HidManager::FindGameReceiver(HidSystem& hid, char (&path)[kHidPathSize]) {
    return FindReceiver(hid, path, NodeRole::GameReceiver);
}

bool HidManager::FindReceiver(HidSystem& hid, char (&path)[kHidPathSize], NodeRole role) {
    std::lock_guard lock(m_lock);
    try {
        std::vector<std::string> names;
        if (!hid.ListInterfaces(&names)) {
            Trace("[KEYWARDEN] Panic: Can not open HID device node.");
            return false;
        }
        std::vector<std::string> paths;
        paths.reserve(names.size());
        for (const std::string& name : names)
            paths.push_back(hid.DevicePath(name));
        const std::optional<std::size_t> chosen =
            ChooseReceiver(paths, role, [&](std::size_t i) -> std::optional<NodeRole> {
                HidDeviceInfo info;
                if (hid.OpenHidDevice(paths[i].c_str(), false, false, false, false, true, &info) !=
                    HID_OPEN_OK) {
                    return std::nullopt;
                }
                return InterfaceRole(info.attributes.vendorId, info.attributes.productId,
                                     info.caps.usagePage, info.caps.usage);
            });
        if (chosen) {
            std::memcpy(path, paths[*chosen].c_str(), paths[*chosen].size() + 1);
            Trace("[KEYWARDEN] Device found: %s.", path);
            return true;
        }
    } catch (const std::bad_alloc&) {
        Trace("[KEYWARDEN] Panic: Can not allocate memory for device intf detail data.");
        return false;
    }
    Trace("[KEYWARDEN] Device not found Error %d.", kErrorNoMoreItems);
    return false;
}

HidManager* GetHidManager() {
    static HidManager manager;
    return &manager;
}
