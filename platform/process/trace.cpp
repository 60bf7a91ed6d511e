#include "platform/process/trace.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <system_error>
#include <thread>

#include "platform/process/sigpipe.h"

namespace {

std::mutex g_captureMutex;
TraceCapture* g_capture = nullptr;
std::atomic<bool> g_output{true};

// At exit the queue is written out as long as the output keeps taking lines; once
// it has taken nothing for this long the program ends without the rest.
constexpr std::chrono::milliseconds kExitStall{100};

// Writes a whole line, however many write() calls that takes. False when the output
// failed; the rest of the line is then lost.
bool WriteAll(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Someone made the shared output non-blocking; wait for room instead.
            pollfd p{STDERR_FILENO, POLLOUT, 0};
            ::poll(&p, 1, 1000);
            continue;
        }
        if (n < 0 && errno == EPIPE)
            DropPendingSigpipe();
        return false;
    }
    return true;
}

class Sink;
Sink& TheSink();

class Sink {
public:
    void Push(std::string line) {
        std::unique_lock lock(m_mutex);
        if (!m_started)
            Start();
        if (!m_threadRunning) {
            // No writer thread could be made: write here, as a last resort.
            lock.unlock();
            if (!WriteAll(line.data(), line.size())) {
                lock.lock();
                ++m_lost;
            }
            return;
        }
        if (m_bytes + line.size() > kTraceQueueBytes) {
            ++m_lost;
            ++m_unreported;
            return;
        }
        m_bytes += line.size();
        m_queue.push_back({std::move(line), 0});
        m_work.notify_one();
    }

    bool Flush(std::chrono::milliseconds timeout) {
        std::unique_lock lock(m_mutex);
        return m_idle.wait_for(lock, timeout, [this] { return Idle(); });
    }

    // Gives the writer time while it makes progress, and none once it stalls.
    void FlushAtExit() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            const std::uint64_t progress = m_done;
            if (m_idle.wait_for(lock, kExitStall, [this] { return Idle(); }))
                return;
            if (m_done == progress)
                return;
        }
    }

    std::uint64_t Lost() {
        std::lock_guard lock(m_mutex);
        return m_lost;
    }

private:
    struct Entry {
        std::string text;
        std::uint64_t reports;  // a loss report for this many lines, or 0
    };

    bool Idle() const { return m_queue.empty() && !m_busy; }

    void Start() {
        m_started = true;
        try {
            std::thread([this] { Run(); }).detach();
            m_threadRunning = true;
            std::atexit([] { TheSink().FlushAtExit(); });
        } catch (const std::system_error&) {
            m_threadRunning = false;
        }
    }

    void Run() {
        // A reader that has gone makes write() fail with EPIPE instead of ending the
        // process; the signal stays pending on this thread and is swallowed.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

        std::unique_lock lock(m_mutex);
        for (;;) {
            m_work.wait(lock, [this] { return !m_queue.empty(); });
            Entry entry = std::move(m_queue.front());
            m_queue.pop_front();
            m_bytes -= std::min(m_bytes, entry.text.size());
            m_busy = true;
            lock.unlock();
            const bool written = WriteAll(entry.text.data(), entry.text.size());
            lock.lock();
            m_busy = false;
            ++m_done;
            if (!written) {
                if (entry.reports > 0)
                    m_unreported += entry.reports;
                else {
                    ++m_lost;
                    ++m_unreported;
                }
            } else if (m_unreported > 0 && m_queue.empty()) {
                // The output takes lines again and has caught up: say what it missed.
                char text[96];
                const int len = std::snprintf(
                    text, sizeof text, "[KEYWARDEN] %" PRIu64 " trace lines lost\n", m_unreported);
                m_queue.push_back({std::string(text, static_cast<std::size_t>(len)), m_unreported});
                m_unreported = 0;
            }
            if (Idle())
                m_idle.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_idle;
    std::deque<Entry> m_queue;
    std::size_t m_bytes = 0;
    bool m_busy = false;
    bool m_started = false;
    bool m_threadRunning = false;
    std::uint64_t m_lost = 0;
    std::uint64_t m_unreported = 0;
    std::uint64_t m_done = 0;  // lines the writer has finished with, written or not
};

// Never destroyed: the writer thread may still be inside write() when the process
// ends, and lines may come from threads that outlive main().
Sink& TheSink() {
    static Sink* const sink = new Sink;
    return *sink;
}

// True when a capture took the line.
bool Captured(std::string_view line) {
    std::lock_guard lock(g_captureMutex);
    if (g_capture == nullptr)
        return false;
    g_capture->Add(std::string(line));
    return true;
}

}  // namespace

void Trace(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    char stackBuf[512];
    const int len = std::vsnprintf(stackBuf, sizeof stackBuf, format, args);
    va_end(args);
    if (len < 0) {
        va_end(copy);
        return;
    }
    const auto size = static_cast<std::size_t>(len);
    std::string line;
    if (size < sizeof stackBuf) {
        line.assign(stackBuf, size);
    } else {
        line.resize(size);
        std::vsnprintf(line.data(), size + 1, format, copy);
    }
    va_end(copy);
    TraceLine(line);
}

void SetTraceOutput(bool on) {
    g_output = on;
}

void TraceLine(std::string_view line) {
    if (Captured(line) || !g_output)
        return;
    std::string text;
    text.reserve(line.size() + 1);
    text.append(line);
    text.push_back('\n');
    TheSink().Push(std::move(text));
}

bool TraceFlush(std::chrono::milliseconds timeout) {
    return TheSink().Flush(timeout);
}

std::uint64_t TraceLostLines() {
    return TheSink().Lost();
}

TraceCapture::TraceCapture() {
    std::lock_guard lock(g_captureMutex);
    g_capture = this;
}

TraceCapture::~TraceCapture() {
    std::lock_guard lock(g_captureMutex);
    if (g_capture == this)
        g_capture = nullptr;
}

void TraceCapture::Add(std::string line) {
    {
        std::lock_guard lock(m_mutex);
        m_lines.push_back(std::move(line));
    }
    m_changed.notify_all();
}

std::vector<std::string> TraceCapture::Lines() const {
    std::lock_guard lock(m_mutex);
    return m_lines;
}

std::size_t TraceCapture::Count(std::string_view line) const {
    std::lock_guard lock(m_mutex);
    return static_cast<std::size_t>(std::count(m_lines.begin(), m_lines.end(), line));
}

bool TraceCapture::WaitFor(std::string_view line, std::size_t count,
                           std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] {
        return static_cast<std::size_t>(std::count(m_lines.begin(), m_lines.end(), line)) >= count;
    });
}

void TraceCapture::Clear() {
    std::lock_guard lock(m_mutex);
    m_lines.clear();
}
