#include "decode/key_dispatcher.h"

#include "platform/process/running.h"

namespace {

bool Running() {
    return g_bRunning.load(std::memory_order_acquire);
}

char NibbleChar(unsigned nibble) {
    return static_cast<char>(0x30 + (nibble & 0x0F));
}

constexpr IrScanCode kToggleBit = 0x8000;

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
    IrScanCode previousToggle = m_nIrCode & kToggleBit;
    std::size_t length = 0;
    dlg.Highlight(TOKEN_KEY_ID);

    for (int i = 0; i < kTokenCodes; ++i) {
        if (!m_pQueue->PopIrKey(&m_nIrCode, kHeldTimeoutMs)) {
            dlg.Clear();
            dlg.Result(TOKEN_TIMEOUT);
            return false;
        }
        if (!HidManager::IsTokenCode(m_nIrCode)) {
            dlg.Clear();
            dlg.Result(TOKEN_INTERRUPTED);
            return true;
        }
        const IrScanCode toggle = m_nIrCode & kToggleBit;
        if (toggle == previousToggle) {
            dlg.Clear();
            dlg.Result(TOKEN_ILLEGAL);
            return true;
        }
        previousToggle = toggle;

        const unsigned data = m_nIrCode & 0xFFu;
        if (i == 0) {
            if (data != kTokenLength) {
                dlg.Clear();
                dlg.Result(TOKEN_BAD_LENGTH);
                return true;
            }
        } else if ((i >= 1 && i <= 4) || (i >= 9 && i <= 12)) {
            m_szToken[length++] = NibbleChar(data >> 4);
            m_szToken[length++] = NibbleChar(data);
        } else if (i == 5) {
            m_szToken[length++] = NibbleChar(data >> 4);
        }
        // Codes 6 to 8 carry nothing; they are still checked above.
    }

    m_szToken[length] = '\0';
    dlg.Result(TOKEN_OK);
    dlg.Clear();
    dlg.Taken(m_szToken);
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
