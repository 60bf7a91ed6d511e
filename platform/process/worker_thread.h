#pragma once

// A thread that can be waited for with a time-out. Threads cannot be killed safely,
// so every body must end by itself; WaitFor() only tells whether it has.

#include <cerrno>
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

    // False when the thread could not be created (or one is still attached);
    // StartError() then tells why.
    bool Start(std::function<void()> body) {
        if (m_thread.joinable()) {
            m_startError = EBUSY;
            return false;
        }
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
        } catch (const std::system_error& e) {
            // Thread creation reports its failure in the exception, not in errno.
            m_startError = e.code().value();
            return false;
        }
        m_startError = 0;
        m_state = std::move(state);
        return true;
    }

    // The error code of the last Start(): 0 after success, e.g. EAGAIN without resources.
    int StartError() const { return m_startError; }

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
    int m_startError = 0;
};
