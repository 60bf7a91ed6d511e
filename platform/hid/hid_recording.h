#pragma once

// The text format of hid-tools' hid-recorder, which Linux HID developers already read
// and replay: what HID devices are (report descriptor, name, physical path, ids) and
// the reports they sent, with their times.
//
//   # a comment
//   D: 0                                   the device the next lines are about; only
//                                          when the file holds several devices
//   R: 29 06 00 ff 09 00 a1 01 ...         descriptor length (decimal) and its bytes
//   N: Orvane IR receiver                  the name
//   P: usb-0000:00:14.0-1/input0           the physical path
//   I: 3 0471 0606                         bus, vendor and product, in hex
//   E: 000001.250000 6 03 01 22 b0 26 05   seconds.microseconds since the start,
//                                          report size (decimal) and its bytes
//   B: ...                                 a HID-BPF program that was attached;
//                                          read and left out (none is attached here)
//
// Parsing and writing take and give text only; reading files, devices and clocks is
// the caller's business.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The kernel's limits, which uhid enforces (HID_MAX_DESCRIPTOR_SIZE, UHID_DATA_MAX)
// and the sizes of uhid's name and phys fields with their NUL.
inline constexpr std::size_t kMaxRecordedDescriptor = 4096;
inline constexpr std::size_t kMaxRecordedReport = 4096;
inline constexpr std::size_t kMaxRecordedName = 127;
inline constexpr std::size_t kMaxRecordedPhys = 63;
// hidraw's own limit on devices (HIDRAW_MAX_DEVICES).
inline constexpr std::size_t kMaxRecordedDevices = 64;
// Far over the longest line the format has (an R: line of 4096 bytes is 12 KiB), and
// what a reader holds of a line at a time.
inline constexpr std::size_t kMaxRecordingLine = 65536;

struct RecordedDevice {
    std::string name;                      // N:
    std::string phys;                      // P:
    std::uint16_t bus = 0;                 // I: (BUS_USB is 3)
    std::uint16_t vendor = 0;              // I:
    std::uint16_t product = 0;             // I:
    std::vector<std::uint8_t> descriptor;  // R:

    bool operator==(const RecordedDevice&) const = default;
};

struct RecordedEvent {
    std::size_t device = 0;  // index into HidRecording::devices
    std::uint64_t usec = 0;  // since the start of the recording
    std::vector<std::uint8_t> data;

    bool operator==(const RecordedEvent&) const = default;
};

struct HidRecording {
    std::vector<RecordedDevice> devices;
    std::vector<RecordedEvent> events;  // in the order of their times
};

// Where and why a text is not a recording. `line` counts from 1; 0 for the file as a
// whole (no device in it at all).
struct RecordingError {
    std::size_t line = 0;
    std::string what;

    // "line 12: E: gives 4 bytes, its size says 6 (is the file cut short?)"
    std::string Describe() const;
};

// A recording accepted with a doubt: its times step back somewhere (it was stamped
// with a wall clock that was set back). Each step is read as no gap: the reports after
// it keep their spacing, counted on from the report before it.
struct RecordingWarnings {
    std::size_t timeSteps = 0;        // how many
    std::size_t firstStepLine = 0;    // the E: line of the first
    std::uint64_t firstStepUsec = 0;  // how far that one went back

    // "" when there is nothing to say; otherwise one line (without "\n").
    std::string Describe() const;
};

// Reads a recording line by line as it comes, so that a reader holds no more than the
// devices and one line however long the recording is: each report is handed over as
// its line is taken. Every device needs its R: and I: lines before its first report;
// sizes and lengths must match the bytes given (a file cut short mid-line fails on
// that line). Lines may end in "\r\n".
class HidRecordingReader {
public:
    enum class Step { Line, Event, Fault };

    // One line without its "\n"; `last` when no "\n" followed it (the text's end).
    // Event: Event() holds the report; Fault: Error() says what, and the reader is
    // done.
    Step Take(std::string_view line, bool last = false);
    // At the end of the text: false with Error() when it is not a whole recording.
    bool Finish();

    const RecordedEvent& Event() const { return m_event; }
    const std::vector<RecordedDevice>& Devices() const { return m_devices; }
    std::size_t Events() const { return m_events; }
    std::size_t Lines() const { return m_line; }
    const RecordingError& Error() const { return m_error; }
    const RecordingWarnings& Warnings() const { return m_warnings; }

private:
    struct Seen {
        bool r = false, n = false, p = false, i = false;
    };
    Step Fail(std::size_t line, std::string what);
    Step Fail(std::string what) { return Fail(m_line, std::move(what)); }
    bool Complete(std::size_t device) const { return m_seen[device].r && m_seen[device].i; }
    Step Parse(std::string_view line);
    Step Device(std::string_view rest);
    void NewDevice();
    Step DescribedDevice(char kind, std::size_t* index);
    Step Bytes(char kind, std::string_view rest, std::size_t count, std::vector<std::uint8_t>* out);
    Step Descriptor(std::string_view rest);
    Step Text(char kind, std::string_view value);
    Step Ids(std::string_view rest);
    Step Report(std::string_view rest);

    std::vector<RecordedDevice> m_devices;
    std::vector<Seen> m_seen;
    RecordedEvent m_event;
    std::size_t m_events = 0;
    std::optional<std::size_t> m_current;
    bool m_usedD = false;
    bool m_failed = false;
    std::size_t m_line = 0;
    bool m_unterminated = false;   // the current line is the text's last, without "\n"
    std::uint64_t m_lastUsec = 0;  // as recorded
    std::uint64_t m_lastTime = 0;  // as read, steps back taken out
    RecordingError m_error;
    RecordingWarnings m_warnings;
};

// The whole text, or nothing with the first fault (as HidRecordingReader reads it).
std::optional<HidRecording> ParseHidRecording(std::string_view text, RecordingError* error,
                                              RecordingWarnings* warnings = nullptr);

// The lines that describe one device ("D:" only when `index` is given), each ending in
// "\n".
std::string FormatRecordedDevice(const RecordedDevice& device, std::optional<std::size_t> index);
// One "E:" line with its "\n".
std::string FormatRecordedEvent(std::uint64_t usec, std::span<const std::uint8_t> data);
// A whole recording: every device, then the events, with "D:" lines when there are
// several devices (before each device and wherever the events change device).
std::string FormatHidRecording(const HidRecording& recording);
