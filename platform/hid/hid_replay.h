#pragma once

// Plays a recording back into devices that stand for the recorded ones: the real
// kernel's (uhid) or a tree of served nodes (for the virtual kit's readers). The
// player waits, if asked, until every device has been opened by some reader, then
// sends each report at its recorded time divided by the speed, counted from that
// moment; between reports it keeps the target answering (the kernel's requests,
// new readers).
//
// One thread; every wait also ends when the stop descriptor becomes readable.

#include <chrono>
#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/hid/hid_recording.h"

class ReplayTarget {
public:
    virtual ~ReplayTarget() = default;
    // Readable when the target has something to handle; Service() then handles it
    // without blocking.
    virtual std::vector<int> Descriptors() const = 0;
    virtual void Service() = 0;
    // Some reader has opened the device since it was made.
    virtual bool Opened(std::size_t device) const = 0;
    // One report; false when the device can take no more (it is gone).
    virtual bool Send(std::size_t device, std::span<const std::uint8_t> report) = 0;
    // Why the last Send failed.
    virtual std::string LastError() const = 0;
};

struct ReplayOptions {
    double speed = 1.0;       // 2: twice as fast
    bool waitForOpen = true;  // start once every device has a reader
};

enum class ReplayEnd { Done, Stopped, Failed };

struct ReplayResult {
    ReplayEnd end = ReplayEnd::Done;
    std::size_t sent = 0;
    std::string error;
};

// Hands the next report, in the order of their times; false at the end, or with
// `error` set when it cannot be read.
using RecordedEventSource = std::function<bool(RecordedEvent* event, std::string* error)>;

// `onStart` runs once the wait for readers is over, just before the first report.
// The reports come from `next` as they are due, so a long recording need not be held.
ReplayResult PlayEvents(std::size_t devices, ReplayTarget& target, const ReplayOptions& options,
                        int stopFd, const RecordedEventSource& next,
                        const std::function<void()>& onStart = {});
ReplayResult PlayRecording(const HidRecording& recording, ReplayTarget& target,
                           const ReplayOptions& options, int stopFd,
                           const std::function<void()>& onStart = {});

// Keeps the target answering until `stopFd` is readable (the devices stay).
void HoldTarget(ReplayTarget& target, int stopFd);
