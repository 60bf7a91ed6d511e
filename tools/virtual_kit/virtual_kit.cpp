#include "tools/virtual_kit/virtual_kit.h"

#include <array>

#include "receiver/hid_manager.h"

Bytes IrReport(IrScanCode code) {
    return {0x03,
            0x01,
            0x22,
            0xB0,
            static_cast<std::uint8_t>(code >> 8),
            static_cast<std::uint8_t>(code & 0xFF)};
}

Bytes GameReport(GameScanCode code) {
    return {0x05, static_cast<std::uint8_t>(code >> 24), static_cast<std::uint8_t>(code >> 16),
            static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code & 0xFF)};
}

namespace {

const HidManager& Tables() {
    static const HidManager manager;
    return manager;
}

}  // namespace

std::optional<IrScanCode> IrCodeForKey(KeyId key) {
    if (key == 0)
        return std::nullopt;
    // The toggle bit is not part of a key's code; it is set per press.
    for (std::uint32_t code = 0; code < 0x8000; ++code) {
        if (Tables().LookupIrKey(static_cast<IrScanCode>(code)) == key)
            return static_cast<IrScanCode>(code);
    }
    return std::nullopt;
}

std::optional<GameScanCode> GameCodeForKey(KeyId key) {
    if (key == 0)
        return std::nullopt;
    constexpr std::array<std::uint32_t, 3> kAxis = {0x00, 0x40, 0x7F};
    for (std::uint32_t x : kAxis) {
        for (std::uint32_t y : kAxis) {
            for (int button = -1; button < 16; ++button) {
                const std::uint32_t buttons = button < 0 ? 0 : 1u << button;
                const GameScanCode code = x << 24 | y << 16 | buttons;
                if (Tables().LookupGameKey(code) == key)
                    return code;
            }
        }
    }
    return std::nullopt;
}

VirtualKit::VirtualKit(KitNodes nodes) : m_bus("dev", nodes) {
    m_bus.AddDevice(kKeyboardNode, Uevent(0x046D, 0xC31C), kKeyboardDescriptor);
}

void VirtualKit::PlugIr() {
    m_bus.PlugReceiver(kIrNode, kIrReceiverDescriptor, false, OrvaneIrUevent());
    m_irPlugged = true;
}

void VirtualKit::UnplugIr() {
    m_irPlugged = false;
    m_bus.Unplug(kIrNode);
}

void VirtualKit::PlugGame() {
    m_bus.PlugReceiver(kGameNode, kGamePadDescriptor, false, OrvaneGameUevent());
    m_gamePlugged = true;
}

void VirtualKit::UnplugGame() {
    m_gamePlugged = false;
    m_bus.Unplug(kGameNode);
}

bool VirtualKit::SendIr(IrScanCode code) {
    return m_bus.Send(kIrNode, IrReport(code));
}

bool VirtualKit::SendGame(GameScanCode code) {
    return m_bus.Send(kGameNode, GameReport(code));
}
