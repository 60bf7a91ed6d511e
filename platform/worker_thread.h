#pragma once

// A thread that can be waited for with a time-out. Threads cannot be killed safely,
// so every body must end by itself; WaitFor() only tells whether it has.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class WorkerThread {
public:
    WorkerThread() = default;
    ~WorkerThread() { Join(); }
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // False when the thread could not be created (or one is still attached).
    bool Start(std::function<void()> body) {
        if (m_thread.joinable())
            return false;
        auto state = std::make_shared<State>();
        try {
            m_thread = std::thread([state, body = std::move(body)] {
                body();
                {
                    std::lock_guard lock(state->mutex);
                    state->done = true;
                }
                state->cv.notify_all();
            });
        } catch (const std::system_error&) {
            return false;
        }
        m_state = std::move(state);
        return true;
    }

    bool Started() const { return m_thread.joinable(); }

    // True when the body has ended (or no thread was started).
    bool WaitFor(std::chrono::milliseconds timeout) {
        if (!m_state)
            return true;
        std::unique_lock lock(m_state->mutex);
        return m_state->cv.wait_for(lock, timeout, [&] { return m_state->done; });
    }

    void Join() {
        if (m_thread.joinable())
            m_thread.join();
        m_state.reset();
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };
    std::shared_ptr<State> m_state;
    std::thread m_thread;
};
