#include "decode/key_dispatcher.h"

#include "decode/token_frame.h"
#include "platform/process/running.h"

namespace {

bool Running() {
    return g_bRunning.load(std::memory_order_acquire);
}

}  // namespace

KeyDispatcher::KeyDispatcher(KeyQueue* queue, HidManager* manager)
    : m_pQueue(queue), m_pHidManager(manager) {}

IMainDialog* KeyDispatcher::Dialog() const {
    ReceiverMonitor* monitor = m_pMonitor.load(std::memory_order_acquire);
    return monitor == nullptr ? nullptr : monitor->m_pDialog.load(std::memory_order_acquire);
}

namespace {

// The dialog may be absent (no window yet); calls are then dropped.
struct DialogCall {
    IMainDialog* dialog;
    void Highlight(KeyId key) const {
        if (dialog)
            dialog->HighlightKey(key);
    }
    void Clear() const {
        if (dialog)
            dialog->ClearHighlight();
    }
    void Result(int result) const {
        if (dialog)
            dialog->ShowTokenResult(result);
    }
    void Taken(const char* digits) const {
        if (dialog)
            dialog->OnTokenTaken(digits);
    }
};

}  // namespace

void KeyDispatcher::DispatchIrKeys() {
    while (Running()) {
        if (!m_bIrPending) {
            if (!m_pQueue->PopIrKey(&m_nIrCode, kIdleTimeoutMs))
                continue;
        }
        if (!Running())
            return;
        m_nIrKeyId = m_pHidManager->LookupIrKey(m_nIrCode);
        if (m_nIrKeyId == TOKEN_KEY_ID) {
            m_bIrPending = ReadToken();
        } else if (HidManager::IsTokenCode(m_nIrCode)) {
            m_bIrPending = false;  // stray token data outside a frame
        } else {
            m_bIrPending = TrackHeldIrKey();
        }
    }
}

void KeyDispatcher::DispatchGameKeys() {
    while (Running()) {
        if (!m_bGamePending) {
            if (!m_pQueue->PopGameKey(&m_nGameCode, kIdleTimeoutMs))
                continue;
        }
        if (!Running())
            return;
        m_nGameKeyId = m_pHidManager->LookupGameKey(m_nGameCode);
        if (m_nGameKeyId >= FIRST_GAME_KEY_ID && m_nGameKeyId <= LAST_GAME_KEY_ID) {
            m_bGamePending = TrackHeldGameKey();
        } else {
            m_bGamePending = false;
        }
    }
}

bool KeyDispatcher::TrackHeldIrKey() {
    if (!Running())
        return false;
    const DialogCall dlg{Dialog()};
    const IrScanCode held = m_nIrCode;
    for (;;) {
        dlg.Highlight(m_nIrKeyId);
        if (!m_pQueue->PopIrKey(&m_nIrCode, kHeldTimeoutMs)) {
            dlg.Clear();
            return false;
        }
        if (m_nIrCode != held) {
            dlg.Clear();
            return true;
        }
        if (!Running())
            return false;
    }
}

bool KeyDispatcher::TrackHeldGameKey() {
    if (!Running())
        return false;
    const DialogCall dlg{Dialog()};
    const GameScanCode held = m_nGameCode;
    for (;;) {
        dlg.Highlight(m_nGameKeyId);
        if (!m_pQueue->PopGameKey(&m_nGameCode, kHeldTimeoutMs)) {
            dlg.Clear();
            return false;
        }
        if (m_nGameCode != held) {
            dlg.Clear();
            return true;
        }
        if (!Running())
            return false;
    }
}

bool KeyDispatcher::ReadToken() {
    const DialogCall dlg{Dialog()};
    TokenFrameDecoder frame(m_nIrCode);
    dlg.Highlight(TOKEN_KEY_ID);

    while (frame.Open()) {
        if (m_pQueue->PopIrKey(&m_nIrCode, kCodeGapMs))
            frame.Take(m_nIrCode);
        else
            frame.TimeOut();
    }

    const int result = frame.Result();
    if (result != TOKEN_OK) {
        dlg.Clear();
        dlg.Result(result);
        // The code that failed the frame is in the slot and is handled next; after a
        // time-out the slot holds nothing new.
        return result != TOKEN_TIMEOUT;
    }
    dlg.Result(TOKEN_OK);
    dlg.Clear();
    dlg.Taken(frame.Digits().c_str());
    return false;
}

KeyDispatcher* GetKeyDispatcher() {
    static KeyDispatcher dispatcher(GetKeyQueue(), GetHidManager());
    return &dispatcher;
}

unsigned DispatcherThread(ReceiverMonitor* monitor) {
    KeyDispatcher* dispatcher = GetKeyDispatcher();
    dispatcher->m_pMonitor.store(monitor, std::memory_order_release);
    dispatcher->DispatchIrKeys();
    return 0;
}

unsigned DispatcherThreadForGameController(ReceiverMonitor* monitor) {
    KeyDispatcher* dispatcher = GetKeyDispatcher();
    dispatcher->m_pMonitor.store(monitor, std::memory_order_release);
    dispatcher->DispatchGameKeys();
    return 0;
}

unsigned RunIrReceiverThread(ReceiverMonitor* monitor, IMainDialog* dialog) {
    return RunIrReceiverThread(monitor, dialog, &DispatcherThread);
}

unsigned RunGameReceiverThread(ReceiverMonitor* monitor, IMainDialog* dialog) {
    return RunGameReceiverThread(monitor, dialog, &DispatcherThreadForGameController);
}

unsigned HID(IMainDialog* dialog) {
    return RunIrReceiverThread(GetReceiverMonitor(), dialog);
}

unsigned HIDForGame(IMainDialog* dialog) {
    return RunGameReceiverThread(GetReceiverMonitor(), dialog);
}
