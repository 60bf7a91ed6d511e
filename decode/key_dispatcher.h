#pragma once

// Takes the codes out of the key queues. Follows held keys for the highlight and
// feeds the token key's frame to its decoder (token_frame), which gives the 17 digit
// characters (9 serial, 8 password).
//
// Two loops run on two threads; each owns its own code slot, key id and pending
// flag. A "pending" code ended the previous state and is handled next, before the
// loop takes another code from the queue.

#include <atomic>
#include <cstdint>

#include "receiver/hid_manager.h"
#include "receiver/key_queue.h"
#include "receiver/receiver_monitor.h"

class KeyDispatcher {
public:
    static constexpr std::uint32_t kIdleTimeoutMs = 1000;
    static constexpr std::uint32_t kHeldTimeoutMs = 251;

    KeyDispatcher(KeyQueue* queue, HidManager* manager);
    KeyDispatcher(const KeyDispatcher&) = delete;
    KeyDispatcher& operator=(const KeyDispatcher&) = delete;

    void DispatchIrKeys();
    void DispatchGameKeys();

    // True when a different code arrived and waits in the slot.
    bool TrackHeldIrKey();
    bool TrackHeldGameKey();
    bool ReadToken();

    // Both threads store the same monitor here.
    std::atomic<ReceiverMonitor*> m_pMonitor{nullptr};

private:
    IMainDialog* Dialog() const;

    KeyQueue* m_pQueue;
    HidManager* m_pHidManager;

    IrScanCode m_nIrCode = 0;
    GameScanCode m_nGameCode = 0;
    KeyId m_nIrKeyId = 0;
    KeyId m_nGameKeyId = 0;
    bool m_bIrPending = false;
    bool m_bGamePending = false;
};

// The single KeyDispatcher, created on first call (thread-safe), destroyed at process end.
KeyDispatcher* GetKeyDispatcher();

// Thread entries; each runs its loop until g_bRunning is cleared and returns 0.
unsigned DispatcherThread(ReceiverMonitor* monitor);
unsigned DispatcherThreadForGameController(ReceiverMonitor* monitor);

// Receiver thread bodies with their dispatchers: what the front ends start. The
// parameter is the main dialog; they return 0.
unsigned HID(IMainDialog* dialog);
unsigned HIDForGame(IMainDialog* dialog);

// The same bodies on a given monitor.
unsigned RunIrReceiverThread(ReceiverMonitor* monitor, IMainDialog* dialog);
unsigned RunGameReceiverThread(ReceiverMonitor* monitor, IMainDialog* dialog);
