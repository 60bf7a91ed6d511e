#pragma once

// Shared by the receiver threads: receiver handles, dispatcher threads, rescan
// flags and the dialog that receives every report.

#include <atomic>

#include "receiver/main_dialog.h"

class ReceiverMonitor {
public:
    // The main dialog; set before the receiver threads start.
    std::atomic<IMainDialog*> m_pDialog{nullptr};
};

// The single ReceiverMonitor, created on first call (thread-safe), destroyed at process end.
ReceiverMonitor* GetReceiverMonitor();
