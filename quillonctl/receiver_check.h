#pragma once

// One receiver searched for and opened exclusively, the way a receiver thread does it,
// and its state as `check` reports it. calibrate and verify --wait check the IR
// receiver the same way before they wait for a press.

#include <string>
#include <vector>

#include "platform/hid/node_holders.h"

enum class ReceiverCheckState { Working, Absent, Denied, Held, Failed };

struct ReceiverCheck {
    bool ir = true;
    ReceiverCheckState state = ReceiverCheckState::Absent;
    std::string path;
    std::string reason;  // why it does not work, in words
    std::vector<NodeHolder> holders;
};

// The open is closed again at once.
ReceiverCheck CheckReceiver(bool ir);

const char* ReceiverCheckKey(ReceiverCheckState state);
// kExitOk, kExitAbsent, kExitDenied, kExitHeld, or kExitUsage for another failure.
int ReceiverCheckExit(ReceiverCheckState state);
// The window's status text for it, as `check` shows it.
const char* ReceiverCheckText(const ReceiverCheck& check);

// For the commands that need the IR receiver: kExitOk when it works; otherwise the
// status text and the reason on stderr, and the exit status.
int RequireIrReceiver();
