#pragma once

// A manual-reset event: stays signalled until Reset(). Wait() can also be ended by
// an abort flag going false, so a stopping program never sits out a time-out.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

class ManualResetEvent {
public:
    void Set() {
        {
            std::lock_guard lock(m_mutex);
            m_bSignalled = true;
        }
        m_cv.notify_all();
    }

    void Reset() {
        std::lock_guard lock(m_mutex);
        m_bSignalled = false;
    }

    bool IsSet() const {
        std::lock_guard lock(m_mutex);
        return m_bSignalled;
    }

    // True when signalled within the time-out. When `keepWaiting` is given, the wait
    // also ends (false) as soon as it reads false; whoever clears it calls WakeWaiters().
    bool Wait(std::chrono::milliseconds timeout, const std::atomic<bool>* keepWaiting = nullptr) {
        std::unique_lock lock(m_mutex);
        m_cv.wait_for(lock, timeout, [&] {
            return m_bSignalled ||
                   (keepWaiting != nullptr && !keepWaiting->load(std::memory_order_acquire));
        });
        return m_bSignalled;
    }

    // Re-evaluates every waiter's abort flag without signalling.
    void WakeWaiters() {
        { std::lock_guard lock(m_mutex); }
        m_cv.notify_all();
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bSignalled = false;
};
