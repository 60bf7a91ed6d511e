#pragma once

// One receiver searched for and opened exclusively, the way a receiver thread does it,
// and its state as `quillonctl check` reports it. calibrate and verify --wait check
// the IR receiver the same way before they wait for a press.

#include <string>
#include <string_view>
#include <vector>

#include "platform/hid/node_holders.h"

class HidSystem;

enum class ReceiverCheckState { Working, Absent, Denied, Held, Failed };

// "working", "absent", "denied", "held", "failed" (stable, for JSON).
std::string_view ReceiverCheckKey(ReceiverCheckState state);

struct ReceiverCheck {
    bool ir = true;
    ReceiverCheckState state = ReceiverCheckState::Absent;
    std::string path;
    std::string reason;  // why it does not work, in words
    std::vector<NodeHolder> holders;
};

// The open is closed again at once.
ReceiverCheck CheckReceiver(HidSystem& hid, bool ir);
