#include "receiver/key_names.h"

#include <array>
#include <utility>

namespace {

// Every key id of the IR table; the vendor range is named by its place on the remote.
constexpr std::array<std::pair<KeyId, std::string_view>, 37> kIrNames = {{
    {8, "backspace"},
    {13, "enter"},
    {27, "escape"},
    {33, "page up"},
    {34, "page down"},
    {37, "left arrow"},
    {38, "up arrow"},
    {39, "right arrow"},
    {40, "down arrow"},
    {48, "0"},
    {49, "1"},
    {50, "2"},
    {51, "3"},
    {52, "4"},
    {53, "5"},
    {54, "6"},
    {55, "7"},
    {56, "8"},
    {57, "9"},
    {146, "record"},
    {147, "rewind"},
    {148, "fast forward"},
    {173, "mute"},
    {174, "volume down"},
    {175, "volume up"},
    {176, "next track"},
    {177, "previous track"},
    {178, "stop"},
    {179, "play/pause"},
    {227, "eject"},
    {233, "help (green)"},
    {234, "power (red)"},
    {235, "key left of 0"},
    {236, "function key right of 6"},
    {238, "key right of 0"},
    {243, "large red key"},
    {244, "token key"},
}};

// The stick's four directions (one axis off centre), then the buttons in key-id order.
constexpr std::array<std::string_view, 12> kGameNames = {
    "game pad up",       "game pad down",     "game pad left",     "game pad right",
    "game pad button 1", "game pad button 2", "game pad button 3", "game pad button 4",
    "game pad button 5", "game pad button 6", "game pad button 7", "game pad button 8",
};

}  // namespace

std::string_view KeyName(KeyId key) {
    if (key >= 4097 && key <= 4108)
        return kGameNames[static_cast<std::size_t>(key - 4097)];
    for (const auto& [id, name] : kIrNames) {
        if (id == key)
            return name;
    }
    return {};
}
