#include "platform/trace.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace {

std::mutex g_captureMutex;
TraceCapture* g_capture = nullptr;

void WriteAll(const char* data, std::size_t size) {
    // A single write() keeps the line whole; loop only for a partial write or EINTR.
    while (size > 0) {
        ssize_t n = ::write(STDERR_FILENO, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

}  // namespace

void Trace(const char* format, ...) {
    char stackBuf[512];
    std::string heapBuf;
    char* line = stackBuf;

    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int len = std::vsnprintf(stackBuf, sizeof(stackBuf) - 1, format, args);
    va_end(args);
    if (len < 0) {
        va_end(copy);
        return;
    }
    auto size = static_cast<std::size_t>(len);
    if (size >= sizeof(stackBuf) - 1) {
        heapBuf.resize(size + 2);
        std::vsnprintf(heapBuf.data(), size + 1, format, copy);
        line = heapBuf.data();
    }
    va_end(copy);

    {
        std::lock_guard lock(g_captureMutex);
        if (g_capture != nullptr) {
            g_capture->Add(std::string(line, size));
            return;
        }
    }
    line[size] = '\n';
    WriteAll(line, size + 1);
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
