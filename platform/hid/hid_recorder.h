#pragma once

// Records hidraw nodes as hid-recorder does, alongside whoever else reads them: each
// node is opened for reading only and never locked, and hidraw gives every open file
// every report, so a running Quillon (which holds its exclusive lock) is not
// disturbed and keeps its receivers.
//
// One thread: Open(), then Run() until the stop descriptor fires or every node has
// gone.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/hid/hid_device.h"
#include "platform/hid/hid_recording.h"

class HidRecorder {
public:
    // Opens each node and reads what it is (descriptor, ids, name, physical path) from
    // sysfs. False with the reason in `error` and errno kept (EACCES: no right to the
    // node; ENOENT: no such node; EINVAL: not a hidraw interface) when one cannot be
    // opened; nothing stays open then.
    // The recording's clock starts when this returns true.
    bool Open(HidSystem& hid, const std::vector<std::string>& paths, std::string* error);

    const std::vector<RecordedDevice>& Devices() const { return m_devices; }
    const std::vector<std::string>& Paths() const { return m_paths; }

    using ReportSink =
        std::function<void(std::size_t device, std::uint64_t usec, std::span<const std::uint8_t>)>;
    using GoneSink = std::function<void(std::size_t device, std::uint64_t usec, int error)>;

    // Hands over every report as it comes, with its time since Open(); tells when a
    // node goes away (unplugged; `error` 0 at its end of file). Returns when `stopFd`
    // is readable or a sink called EndRun() (true) or when no node is left (false).
    bool Run(int stopFd, const ReportSink& onReport, const GoneSink& onGone);
    // From a sink: Run() returns once the sink does (the recording cannot be kept).
    void EndRun() { m_endRun = true; }

    std::uint64_t ElapsedUsec() const;

private:
    std::vector<RecordedDevice> m_devices;
    std::vector<std::string> m_paths;
    std::vector<HidHandle> m_handles;
    std::uint64_t m_startUsec = 0;
    bool m_endRun = false;
};
