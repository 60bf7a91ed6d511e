#pragma once

// Shared by the receiver threads: receiver handles, dispatcher threads, rescan
// flags and the dialog that receives every report.
//
// (Being completed: discovery, exclusive open, read loops and arrival watching.)
// Intended surface for the window layer:
//   unsigned HID(IMainDialog* dialog);          // IR receiver thread body
//   unsigned HIDForGame(IMainDialog* dialog);   // game-controller receiver thread body
//   GetReceiverMonitor()->RequestRescan();      // device arrival: search again at once
// The window starts both bodies on WorkerThreads, and at exit calls StopRunning()
// and waits for both.

#include <atomic>

#include "receiver/main_dialog.h"

class ReceiverMonitor {
public:
    // The main dialog; set before the receiver threads start.
    std::atomic<IMainDialog*> m_pDialog{nullptr};
};

// The single ReceiverMonitor, created on first call (thread-safe), destroyed at process end.
ReceiverMonitor* GetReceiverMonitor();
