#pragma once

// Two bounded FIFO queues of scan codes, one per receiver.
//
// Per queue: one producer (the receiver's read loop) and one consumer (its
// dispatcher thread). Pushes never block; a full queue drops the new code with a
// trace line. Takes wait on the queue's manual-reset event with a time-out. One lock
// guards both queues and is held only for the array and event steps, never during a
// wait. Storage is fixed: nothing is allocated after construction.
//
// The event is a level signal meaning "codes may be waiting": a push sets it, a take
// that finds its queue empty clears it before waiting, so such a take always waits
// for the next push. Waiting takes also end (false) when g_bRunning is cleared.

#include <chrono>
#include <cstdint>
#include <mutex>

#include "platform/process/manual_reset_event.h"
#include "receiver/types.h"

class KeyQueue {
public:
    static constexpr std::uint32_t kCapacity = 100;

    KeyQueue();
    ~KeyQueue();
    KeyQueue(const KeyQueue&) = delete;
    KeyQueue& operator=(const KeyQueue&) = delete;

    void PushIrKey(IrScanCode code);
    void PushGameKey(GameScanCode code);

    // True with the oldest code in *code; false on time-out, or when woken with the
    // queue empty, leaving *code unchanged.
    bool PopIrKey(IrScanCode* code, std::uint32_t timeoutMs);
    bool PopGameKey(GameScanCode* code, std::uint32_t timeoutMs);

    // Wakes every waiting take so that it sees a cleared g_bRunning.
    void WakeWaiters();

    std::uint32_t IrCount() const;
    std::uint32_t GameCount() const;

private:
    template <typename Code, std::uint32_t N>
    static bool TakeFront(Code (&storage)[N], std::uint32_t& count, Code* out);

    mutable std::mutex m_lock;
    IrScanCode m_irCodes[kCapacity] = {};
    GameScanCode m_gameCodes[kCapacity] = {};
    std::uint32_t m_irCount = 0;
    std::uint32_t m_gameCount = 0;
    ManualResetEvent m_irEvent;
    ManualResetEvent m_gameEvent;
    int m_wakerId = 0;
};

// The single KeyQueue, created on first call (thread-safe), destroyed at process end.
KeyQueue* GetKeyQueue();
