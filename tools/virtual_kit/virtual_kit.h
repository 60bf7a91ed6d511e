#pragma once

// The virtual kit's receivers: the IR receiver and the game-controller receiver as
// hidraw interfaces of a VirtualHidBus, so the real HID layer, receiver threads and
// decoder run on them unchanged. Plugging creates the sysfs entry and then the node
// (what the arrival watcher sees); unplugging removes both and hangs up the open end.
//
// Thread-safe: plug, unplug and sends may come from any thread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

#include "receiver/types.h"
#include "tools/virtual_kit/virtual_hid_bus.h"

// The bytes a receiver delivers for a code: IR 03 01 22 B0 then the code big-endian
// (the validity bits of bytes 0 to 3 set, nothing more); game pad 05 then the code
// big-endian.
Bytes IrReport(IrScanCode code);
Bytes GameReport(GameScanCode code);

// Scan codes of a key id, found through the receivers' own tables; nothing for an id
// no code maps to. Game codes are searched among the reports a game pad can make:
// each axis low, centred or high, at most one button.
std::optional<IrScanCode> IrCodeForKey(KeyId key);
std::optional<GameScanCode> GameCodeForKey(KeyId key);

// What the game pad reports with the stick centred and no button down.
inline constexpr GameScanCode kGamePadIdle = 0x40400000;

class VirtualKit {
public:
    // hidraw numbers of the two receivers, and of a keyboard that is always there, so
    // the search has something to pass over.
    static constexpr int kIrNode = 0;
    static constexpr int kGameNode = 1;
    static constexpr int kKeyboardNode = 2;

    // Both receivers start unplugged. Served: other processes can open them too.
    explicit VirtualKit(KitNodes nodes = KitNodes::InProcess);
    VirtualKit(const VirtualKit&) = delete;
    VirtualKit& operator=(const VirtualKit&) = delete;

    HidSystem* Hid() { return &m_bus; }
    VirtualHidBus& Bus() { return m_bus; }

    void PlugIr();
    void UnplugIr();
    void PlugGame();
    void UnplugGame();
    bool IrPlugged() const { return m_irPlugged.load(); }
    bool GamePlugged() const { return m_gamePlugged.load(); }

    // One report to the receiver's open end; false when it is unplugged or nobody has
    // it open (the report is lost, as an IR burst with no receiver listening).
    bool SendIr(IrScanCode code);
    bool SendGame(GameScanCode code);

    // How often the layer has opened each receiver; an open follows each plug.
    int IrOpens() const { return m_bus.Opens(kIrNode); }
    int GameOpens() const { return m_bus.Opens(kGameNode); }
    bool WaitForIrOpens(int count, std::chrono::milliseconds timeout) const {
        return m_bus.WaitForOpens(kIrNode, count, timeout);
    }
    bool WaitForGameOpens(int count, std::chrono::milliseconds timeout) const {
        return m_bus.WaitForOpens(kGameNode, count, timeout);
    }

private:
    VirtualHidBus m_bus;
    std::atomic<bool> m_irPlugged{false};
    std::atomic<bool> m_gamePlugged{false};
};
