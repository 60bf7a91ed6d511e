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

// The whole text, or nothing with the first fault. Every device needs its R: and I:
// lines before its first report; times may not go back; sizes and lengths must match
// the bytes given (a file cut short mid-line fails on that line). Lines may end in
// "\r\n".
std::optional<HidRecording> ParseHidRecording(std::string_view text, RecordingError* error);

// The lines that describe one device ("D:" only when `index` is given), each ending in
// "\n".
std::string FormatRecordedDevice(const RecordedDevice& device, std::optional<std::size_t> index);
// One "E:" line with its "\n".
std::string FormatRecordedEvent(std::uint64_t usec, std::span<const std::uint8_t> data);
// A whole recording: every device, then the events, with "D:" lines when there are
// several devices (before each device and wherever the events change device).
std::string FormatHidRecording(const HidRecording& recording);
