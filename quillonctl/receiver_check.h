#pragma once

// A receiver's check (diagnosis/receiver_check.h) as the terminal program tells it:
// its exit status and the window's status text.

#include "diagnosis/receiver_check.h"

// kExitOk, kExitAbsent, kExitDenied, kExitHeld, or kExitUsage for another failure.
int ReceiverCheckExit(ReceiverCheckState state);
// The window's status text for it, as it stands (ShownStatus to show it).
const char* ReceiverCheckText(const ReceiverCheck& check);

// For the commands that need the IR receiver: kExitOk when it works; otherwise the
// status text and the reason on stderr, and the exit status.
int RequireIrReceiver();
