#pragma once

// The output of a subcommand that reports as it goes (watch): whoever has an event
// only queues its text, and one writer thread of its own writes the queue out. A
// stdout nobody reads stalls that thread alone; no receiver, dispatcher or stop path
// ever waits on it, and no lock they take is held across a write().
//
// The queue is bounded: text beyond it is dropped and counted. A failing output (a
// reader that has gone, a closed descriptor, a full disk) ends the writing; it never
// raises SIGPIPE, and the reason is kept for the caller to report.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

inline constexpr std::size_t kOutputQueueBytes = 1 << 20;

class OutputWriter {
public:
    explicit OutputWriter(int fd, std::size_t maxBytes = kOutputQueueBytes);
    ~OutputWriter();  // abandons what is left at once
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;

    // `onFailure` runs once, on the writer thread, when the output fails. False when
    // the thread could not be made.
    bool Start(std::function<void()> onFailure);
    // Any thread; returns at once.
    void Write(std::string text);
    // Gives the writer up to `grace` for what is queued, then abandons the rest (and
    // the writer, should it sit in a write() that does not return). True when
    // everything was written.
    bool Finish(std::chrono::milliseconds grace);

    // Why the output failed ("Broken pipe"), or "".
    std::string Failure() const;
    // Texts dropped: the queue was full, the output failed, or the rest was abandoned.
    std::uint64_t Dropped() const;

private:
    struct State;
    static void Run(const std::shared_ptr<State>& state);

    // Shared with the thread, which may outlive this object when abandoned.
    std::shared_ptr<State> m_state;
    std::thread m_thread;
};
