#include "quillonctl/output_writer.h"

#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>

#include "platform/hid/hid_device.h"
#include "platform/process/sigpipe.h"

namespace {

// After Finish() has abandoned the queue: how long the writer may take to notice.
constexpr std::chrono::milliseconds kLeaveTime{100};

enum class Written { All, Failed, Abandoned };

}  // namespace

struct OutputWriter::State {
    explicit State(int f, std::size_t max) : fd(f), maxBytes(max) {}

    const int fd;
    const std::size_t maxBytes;
    WakeSignal wake;  // Finish() abandoning a write that waits for room
    std::atomic<bool> abandoned{false};
    std::function<void()> onFailure;

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> queue;
    std::size_t bytes = 0;
    bool busy = false;    // the writer holds text outside the queue
    bool ended = false;   // the thread has returned, or will without another look
    std::string failure;  // guarded by mutex
    std::uint64_t dropped = 0;

    // A piece at a time, each no larger than a pipe takes whole once it polls
    // writable, so that a write() after POLLOUT does not block on a pipe.
    Written WriteAll(const std::string& text) {
        const char* data = text.data();
        std::size_t left = text.size();
        while (left > 0) {
            pollfd fds[2] = {{fd, POLLOUT, 0}, {wake.Fd(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                return Fail(errno);
            if (abandoned.load())
                return Written::Abandoned;
            if (fds[0].revents == 0)
                continue;
            const ssize_t n = ::write(fd, data, std::min<std::size_t>(left, PIPE_BUF));
            if (n > 0) {
                data += n;
                left -= static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
                continue;
            return Fail(n < 0 ? errno : EIO);
        }
        return Written::All;
    }

    Written Fail(int cause) {
        if (cause == EPIPE)
            DropPendingSigpipe();
        std::lock_guard lock(mutex);
        failure = std::strerror(cause);
        return Written::Failed;
    }
};

OutputWriter::OutputWriter(int fd, std::size_t maxBytes)
    : m_state(std::make_shared<State>(fd, maxBytes)) {}

OutputWriter::~OutputWriter() {
    if (m_thread.joinable())
        Finish(std::chrono::milliseconds(0));
}

bool OutputWriter::Start(std::function<void()> onFailure) {
    m_state->onFailure = std::move(onFailure);
    if (!m_state->wake.Valid())
        return false;
    try {
        std::shared_ptr<State> state = m_state;
        m_thread = std::thread([state] { Run(state); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void OutputWriter::Write(std::string text) {
    State& s = *m_state;
    {
        std::lock_guard lock(s.mutex);
        if (s.ended || !s.failure.empty() || s.bytes + text.size() > s.maxBytes) {
            ++s.dropped;
            return;
        }
        s.bytes += text.size();
        s.queue.push_back(std::move(text));
    }
    s.changed.notify_all();
}

void OutputWriter::Run(const std::shared_ptr<State>& state) {
    State& s = *state;
    // A reader that has gone makes write() fail with EPIPE instead of ending the
    // process; the signal stays pending on this thread and is swallowed.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    std::unique_lock lock(s.mutex);
    for (;;) {
        s.changed.wait(lock, [&] { return !s.queue.empty() || s.abandoned.load(); });
        if (s.abandoned.load())
            break;
        std::string text;
        for (const std::string& piece : s.queue)
            text += piece;
        const std::size_t pieces = s.queue.size();
        s.queue.clear();
        s.bytes = 0;
        s.busy = true;
        lock.unlock();
        const Written written = s.WriteAll(text);
        lock.lock();
        s.busy = false;
        if (written == Written::All) {
            s.changed.notify_all();
            continue;
        }
        s.dropped += pieces + s.queue.size();
        s.queue.clear();
        s.bytes = 0;
        if (written == Written::Failed) {
            s.ended = true;
            s.changed.notify_all();
            lock.unlock();
            if (s.onFailure)
                s.onFailure();
            return;
        }
        break;
    }
    s.dropped += s.queue.size();
    s.queue.clear();
    s.ended = true;
    s.changed.notify_all();
}

bool OutputWriter::Finish(std::chrono::milliseconds grace) {
    State& s = *m_state;
    if (!m_thread.joinable())
        return false;
    std::unique_lock lock(s.mutex);
    const bool all =
        s.changed.wait_for(lock, grace, [&] { return (s.queue.empty() && !s.busy) || s.ended; }) &&
        s.failure.empty() && !s.ended;
    s.abandoned = true;
    s.changed.notify_all();
    s.wake.Signal();
    // A write() that blocks in spite of the poll (a terminal stopped with Ctrl-S, a
    // socket) keeps the thread; the process does not wait for it.
    const bool left = s.changed.wait_for(lock, kLeaveTime, [&] { return s.ended; });
    lock.unlock();
    if (left)
        m_thread.join();
    else
        m_thread.detach();
    return all;
}

std::string OutputWriter::Failure() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->failure;
}

std::uint64_t OutputWriter::Dropped() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->dropped;
}
