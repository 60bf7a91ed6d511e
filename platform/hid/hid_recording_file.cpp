#include "platform/hid/hid_recording_file.h"

#include "platform/process/display_escape.h"
#include "platform/process/small_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr std::size_t kReadSize = 65536;

}  // namespace

bool HidRecordingFile::Open(const std::string& path, std::string* error) {
    m_path = path;
    // Non-blocking: opening a FIFO must not wait for a writer before it is refused.
    m_fd = HidHandle(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!m_fd) {
        *error = EscapeForDisplay(path) + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(m_fd.Get(), &st) != 0) {
        *error = EscapeForDisplay(path) + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = EscapeForDisplay(path) + ": " + FileKindText(st.st_mode) +
                 ", not a regular file: a recording is replayed from a file";
        return false;
    }
    m_size = static_cast<std::uint64_t>(st.st_size);
    if (m_size > kMaxRecordingFile) {
        *error = EscapeForDisplay(path) + ": " + std::to_string(m_size >> 20) +
                 " MiB, larger than the " + std::to_string(kMaxRecordingFile >> 20) +
                 " MiB a recording may have";
        return false;
    }

    // The first pass: every line checked, the devices and the count kept.
    Rewind();
    std::string_view line;
    bool last = false;
    while (NextLine(&line, &last, error)) {
        const HidRecordingReader::Step step = m_reader.Take(line, last);
        if (step == HidRecordingReader::Step::Fault)
            break;
        if (step == HidRecordingReader::Step::Event)
            m_lastUsec = m_reader.Event().usec;
    }
    if (!error->empty())
        return false;
    if (!m_reader.Finish()) {
        *error = EscapeForDisplay(path) + ": " + m_reader.Error().Describe();
        return false;
    }
    m_devices = m_reader.Devices();
    m_events = m_reader.Events();
    m_warnings = m_reader.Warnings();
    Rewind();
    return true;
}

void HidRecordingFile::Rewind() {
    m_reader = HidRecordingReader();
    m_offset = 0;
    m_buffer.clear();
    m_start = 0;
    m_done = false;
}

bool HidRecordingFile::NextLine(std::string_view* line, bool* last, std::string* error) {
    error->clear();
    for (;;) {
        const std::string_view unread = std::string_view(m_buffer).substr(m_start);
        const std::size_t newline = unread.find('\n');
        if (newline != std::string_view::npos) {
            *line = unread.substr(0, newline);
            *last = false;
            m_start += newline + 1;
            return true;
        }
        // A line longer than any of the format's: handed over cut, for the reader to
        // refuse; nothing more of it is held.
        if (unread.size() > kMaxRecordingLine) {
            *line = unread.substr(0, kMaxRecordingLine + 1);
            *last = false;
            m_start = m_buffer.size();
            m_done = true;
            return true;
        }
        if (m_offset >= m_size) {
            if (unread.empty() || m_done)
                return false;
            *line = unread;
            *last = true;
            m_start = m_buffer.size();
            m_done = true;
            return true;
        }
        m_buffer.erase(0, m_start);
        m_start = 0;
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(kReadSize, m_size - m_offset));
        const std::size_t had = m_buffer.size();
        m_buffer.resize(had + want);
        const ssize_t n =
            ::pread(m_fd.Get(), m_buffer.data() + had, want, static_cast<off_t>(m_offset));
        if (n < 0 && errno == EINTR) {
            m_buffer.resize(had);
            continue;
        }
        if (n < 0) {
            *error = EscapeForDisplay(m_path) + ": " + std::strerror(errno);
            m_buffer.resize(had);
            return false;
        }
        m_buffer.resize(had + static_cast<std::size_t>(n));
        // Shorter than it was: its end is here.
        m_offset = n == 0 ? m_size : m_offset + static_cast<std::uint64_t>(n);
    }
}

bool HidRecordingFile::Next(RecordedEvent* event, std::string* error) {
    error->clear();
    std::string_view line;
    bool last = false;
    while (NextLine(&line, &last, error)) {
        switch (m_reader.Take(line, last)) {
            case HidRecordingReader::Step::Event:
                event->device = m_reader.Event().device;
                event->usec = m_reader.Event().usec;
                event->data.assign(m_reader.Event().data.begin(), m_reader.Event().data.end());
                return true;
            case HidRecordingReader::Step::Fault:
                *error = EscapeForDisplay(m_path) +
                         " changed while it was replayed: " + m_reader.Error().Describe();
                return false;
            case HidRecordingReader::Step::Line:
                break;
        }
    }
    if (!error->empty())
        return false;
    if (!m_reader.Finish() || m_reader.Devices() != m_devices || m_reader.Events() != m_events) {
        *error = EscapeForDisplay(m_path) + " changed while it was replayed";
        return false;
    }
    return false;
}
