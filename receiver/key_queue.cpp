#include "receiver/key_queue.h"

#include <algorithm>

#include "platform/process/running.h"
#include "platform/process/trace.h"

KeyQueue::KeyQueue() {
    m_wakerId = AddRunWaker([](void* self) { static_cast<KeyQueue*>(self)->WakeWaiters(); }, this);
}

KeyQueue::~KeyQueue() {
    RemoveRunWaker(m_wakerId);
}

void KeyQueue::PushIrKey(IrScanCode code) {
    std::lock_guard lock(m_lock);
    if (m_irCount >= kCapacity) {
        Trace("[KEYWARDEN]KeyQueue full!");
    } else {
        m_irCodes[m_irCount++] = code;
    }
    m_irEvent.Set();
}

void KeyQueue::PushGameKey(GameScanCode code) {
    std::lock_guard lock(m_lock);
    if (m_gameCount >= kCapacity) {
        Trace("[KEYWARDEN]KeyQueue full!");
    } else {
        m_gameCodes[m_gameCount++] = code;
    }
    m_gameEvent.Set();
}

template <typename Code, std::uint32_t N>
bool KeyQueue::TakeFront(Code (&storage)[N], std::uint32_t& count, Code* out) {
    if (count == 0)
        return false;
    *out = storage[0];
    --count;
    std::copy(storage + 1, storage + 1 + count, storage);
    return true;
}

bool KeyQueue::PopIrKey(IrScanCode* code, std::uint32_t timeoutMs) {
    {
        std::lock_guard lock(m_lock);
        if (m_irCount == 0)
            m_irEvent.Reset();
    }
    if (!m_irEvent.Wait(std::chrono::milliseconds(timeoutMs), &g_bRunning))
        return false;
    std::lock_guard lock(m_lock);
    return TakeFront(m_irCodes, m_irCount, code);
}

bool KeyQueue::PopGameKey(GameScanCode* code, std::uint32_t timeoutMs) {
    {
        std::lock_guard lock(m_lock);
        if (m_gameCount == 0)
            m_gameEvent.Reset();
    }
    if (!m_gameEvent.Wait(std::chrono::milliseconds(timeoutMs), &g_bRunning))
        return false;
    std::lock_guard lock(m_lock);
    return TakeFront(m_gameCodes, m_gameCount, code);
}

void KeyQueue::WakeWaiters() {
    m_irEvent.WakeWaiters();
    m_gameEvent.WakeWaiters();
}

std::uint32_t KeyQueue::IrCount() const {
    std::lock_guard lock(m_lock);
    return m_irCount;
}

std::uint32_t KeyQueue::GameCount() const {
    std::lock_guard lock(m_lock);
    return m_gameCount;
}

KeyQueue* GetKeyQueue() {
    static KeyQueue queue;
    return &queue;
}
