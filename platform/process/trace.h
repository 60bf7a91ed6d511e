#pragma once

// Diagnostic trace: one printf-style call makes exactly one line on stderr. Tests
// install a TraceCapture to read the lines back instead.
//
// No caller ever waits on the output: Trace() only queues the line, and one writer
// thread of the trace's own writes the queue to stderr, a whole line at a time, so
// lines from different threads never tear or interleave. A stalled reader (a pipe
// nobody reads, a terminal stopped with Ctrl-S) stalls that thread alone; a reader
// that has gone never raises SIGPIPE. Lines that do not fit in the queue, or that
// could not be written, are counted, and the count is written as a line of its own
// once the output takes lines again (or at exit, if it does then).

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A line as it is, without formatting (Qt's own messages, for instance).
void TraceLine(std::string_view line);

// Off: lines are dropped without a trace (a terminal program's default, so that
// only its own output reaches the user). On at start.
void SetTraceOutput(bool on);

// Waits until every queued line has been written, or `timeout` passed; false then.
bool TraceFlush(std::chrono::milliseconds timeout);

// Lines lost so far (queue full or output failing), reported or not.
std::uint64_t TraceLostLines();

// Queue bound: a burst beyond this many bytes of unwritten lines loses lines.
inline constexpr std::size_t kTraceQueueBytes = 1 << 20;

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
