#pragma once

// Hand-over of token frames from a front end to the calibration (token_calibration).
//
// The front end puts the serial number and dynamic password of every frame it takes
// in (the main dialog's OnTokenTaken, on the IR dispatcher thread); the calibration
// takes them. It sits here, below both front ends, because the calibration is its
// only reader. Both strings of a frame travel together under one lock, so a reader
// never sees the serial of one frame with the password of another. Waiters sleep on
// a condition variable instead of polling.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

struct TokenFrame {
    std::string serial;     // 9 characters
    std::string password;   // 8 characters
    std::uint64_t seq = 0;  // 1 for the first frame put, then counting up
};

class TokenFrameBox {
public:
    // Stores a frame, replacing any frame not yet taken, and wakes every waiter.
    void Put(std::string serial, std::string password);

    // The frame held now; empty strings when it was taken or cleared. Its seq is that
    // of the last frame put (0 before the first).
    TokenFrame Peek() const;
    // Returns the frame held and empties it, atomically; nothing when it is empty.
    std::optional<TokenFrame> Take();
    // Empties both strings, e.g. so that a frame taken in earlier is not used.
    void Clear();
    // Sequence number of the last frame put.
    std::uint64_t Sequence() const;

    // Sleeps until a frame with a sequence number above `seq` is held, and returns
    // it without emptying the box. Nothing on time-out or when WakeAll() was called
    // during the wait.
    std::optional<TokenFrame> WaitNewer(std::uint64_t seq, std::chrono::milliseconds timeout) const;
    // Ends every wait in progress now (for a calibration that ends).
    void WakeAll();

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    TokenFrame m_frame;
    std::uint64_t m_wakeups = 0;
};

// The last token frame, shared by the front end (writer) and the calibration (reader);
// one box in place of a pair of strings, so a frame is never read half-written.
extern TokenFrameBox g_lastToken;

// Set while a calibration runs: the main dialog then neither refreshes its controls
// nor verifies tokens. A single flag read without a lock.
extern std::atomic<bool> g_bCalibrating;
