#pragma once

// The key vocabulary of both receivers, report validity tests, and the lock that
// keeps the two receiver threads from enumerating HID devices at the same time.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "receiver/types.h"

class HidSystem;

// Size of the device-path buffers that a receiver search fills.
constexpr std::size_t kHidPathSize = 260;

// The ids both receivers share; they differ in their top-level collection.
constexpr std::uint16_t ORVANE_VENDOR_ID = 0x0471;
constexpr std::uint16_t ORVANE_PRODUCT_ID = 0x0606;
constexpr std::uint16_t IR_USAGE_PAGE = 0xFF00;
constexpr std::uint16_t IR_USAGE = 0x0000;
constexpr std::uint16_t GAME_USAGE_PAGE = 0x0001;
constexpr std::uint16_t GAME_USAGE = 0x0005;

// What an interface is in the kit, from its ids and its top-level collection.
enum class NodeRole { IrReceiver, GameReceiver, OtherInterface, NotKit };
NodeRole InterfaceRole(std::uint16_t vendor, std::uint16_t product, std::uint16_t usagePage,
                       std::uint16_t usage);

// Which hidraw interface is the receiver of `role` (IrReceiver or GameReceiver): the
// one answer for the receiver threads and for everything that reports on them. It is
// the first of `paths`, in enumeration order, that `identify` gives that role and
// whose path fits kHidPathSize. `identify(i)` reads the i-th interface's role, nullopt
// when its ids cannot be read; it is asked in order and never past the one chosen.
// Whether the node exists or may be opened does not enter: the open tells that, and a
// receiver thread keeps to the node chosen here.
std::optional<std::size_t> ChooseReceiver(
    const std::vector<std::string>& paths, NodeRole role,
    const std::function<std::optional<NodeRole>(std::size_t)>& identify);

class HidManager {
public:
    HidManager();
    HidManager(const HidManager&) = delete;
    HidManager& operator=(const HidManager&) = delete;

    // Bit 15 of an IR code is a toggle bit and is ignored.
    KeyId LookupIrKey(IrScanCode code) const;
    KeyId LookupGameKey(GameScanCode code) const;

    // Bit tests, not equality: other bits may be set too. Sizes other than 6 / 5
    // bytes are never valid.
    static bool IsValidIrReport(std::span<const std::uint8_t> report);
    static bool IsValidGameReport(std::span<const std::uint8_t> report);

    // Any code whose address bits are all set, whatever its toggle bit.
    static bool IsTokenCode(IrScanCode code) { return (code & 0x7F00) == 0x7F00; }

    // Receiver search: the interface ChooseReceiver picks among those listed, each
    // identified from sysfs. Writes its path into `path` and returns true. Holds m_lock
    // for the whole enumeration. After false, `path` is left as it was.
    bool FindIrReceiver(HidSystem& hid, char (&path)[kHidPathSize]);
    bool FindGameReceiver(HidSystem& hid, char (&path)[kHidPathSize]);

    std::size_t IrTableSize() const { return m_irKeyTable.size(); }
    std::size_t GameTableSize() const { return m_gameKeyTable.size(); }

    // Held for one whole enumeration (receiver search).
    std::mutex m_lock;
    // Set at start when the maker's HID service was stopped, so exit restarts it.
    bool m_bServiceStopped = false;

private:
    bool FindReceiver(HidSystem& hid, char (&path)[kHidPathSize], NodeRole role);

    std::map<IrScanCode, KeyId> m_irKeyTable;
    std::map<GameScanCode, KeyId> m_gameKeyTable;
};

// The single HidManager, created on first call (thread-safe), destroyed at process end.
HidManager* GetHidManager();
