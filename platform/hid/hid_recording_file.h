#pragma once

// A recording read from its file as a stream, in two passes, so that memory stays
// bounded by its devices however long it is: Open() reads it whole and checks every
// line, keeping only the devices, their count of reports and what it found odd; then
// Next() reads it again from the start and hands out one report at a time, as a replay
// sends them. Only a regular file is read (its size is known before reading, and
// reading it never waits on a writer), of at most kMaxRecordingFile bytes.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/hid/hid_device.h"
#include "platform/hid/hid_recording.h"

// Larger than any field recording; a mistaken file name does not keep the replay
// reading.
inline constexpr std::uint64_t kMaxRecordingFile = std::uint64_t{256} << 20;

class HidRecordingFile {
public:
    // False with the reason, naming `path` ("PATH: line 12: ..." for a fault of the
    // format), when it cannot be read or is not a whole recording.
    bool Open(const std::string& path, std::string* error);

    const std::vector<RecordedDevice>& Devices() const { return m_devices; }
    std::size_t Events() const { return m_events; }
    // The last report's time since the start: how long a replay at speed 1 takes.
    std::uint64_t LastUsec() const { return m_lastUsec; }
    const RecordingWarnings& Warnings() const { return m_warnings; }

    // The next report, from the first on. False at the end, or with `error` set when
    // the file no longer reads as it did in Open() (changed on the disk since).
    bool Next(RecordedEvent* event, std::string* error);

private:
    // The next line of the pass, true while there is one; `last` when no "\n" ends it.
    bool NextLine(std::string_view* line, bool* last, std::string* error);
    void Rewind();

    std::string m_path;
    HidHandle m_fd;
    std::uint64_t m_size = 0;  // as Open() found it: the passes read no further
    std::uint64_t m_offset = 0;
    std::string m_buffer;
    std::size_t m_start = 0;  // of the unread part of m_buffer
    HidRecordingReader m_reader;
    std::vector<RecordedDevice> m_devices;
    std::size_t m_events = 0;
    std::uint64_t m_lastUsec = 0;
    RecordingWarnings m_warnings;
    bool m_done = false;
};
