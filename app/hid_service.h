#pragma once

// Stops the maker's HID service at start, so the receivers can be opened exclusively,
// and starts it again at exit if this program stopped it. Qt-free: the message box is
// passed in.

#include <functional>
#include <string>

#include "platform/system/service_control.h"
#include "receiver/hid_manager.h"

using HintBox = std::function<void(const std::string& text, const std::string& caption)>;

// If the unit runs, asks it to stop; only when the request is accepted shows the hint
// box and then sets manager->m_bServiceStopped. A refusal is traced and start goes on.
void StopHidService(HidManager* manager, IServiceControl& scm, const HintBox& showHint);

// Starts the unit again when m_bServiceStopped is set; otherwise touches nothing.
void RestartHidService(HidManager* manager, IServiceControl& scm);
