#pragma once

// The key vocabulary of both receivers, report validity tests, and the lock that
// keeps the two receiver threads from enumerating HID devices at the same time.

#include <cstdint>
#include <map>
#include <mutex>
#include <span>

#include "receiver/types.h"

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

    std::size_t IrTableSize() const { return m_irKeyTable.size(); }
    std::size_t GameTableSize() const { return m_gameKeyTable.size(); }

    // Held for one whole enumeration (receiver search).
    std::mutex m_lock;
    // Set at start when the maker's HID service was stopped, so exit restarts it.
    bool m_bServiceStopped = false;

private:
    std::map<IrScanCode, KeyId> m_irKeyTable;
    std::map<GameScanCode, KeyId> m_gameKeyTable;
};

// The single HidManager, created on first call (thread-safe), destroyed at process end.
HidManager* GetHidManager();
