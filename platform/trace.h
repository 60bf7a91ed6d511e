#pragma once

// Diagnostic trace: one printf-style call writes exactly one line to stderr with a
// single write(), so lines from different threads never interleave. Tests install a
// TraceCapture to read the lines back instead.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// While an instance lives, trace lines go to it instead of stderr. One at a time.
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<std::string> Lines() const;
    std::size_t Count(std::string_view line) const;
    // Waits until at least `count` lines equal to `line` have been captured.
    bool WaitFor(std::string_view line, std::size_t count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    void Clear();

    void Add(std::string line);  // called by Trace

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<std::string> m_lines;
};
