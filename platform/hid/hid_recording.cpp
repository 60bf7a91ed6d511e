#include "platform/hid/hid_recording.h"

#include <charconv>
#include <cstdio>

#include "platform/process/display_escape.h"

namespace {

// The largest time the format can write (its seconds are checked against this too).
constexpr std::uint64_t kMaxSeconds = 1'000'000'000;
constexpr std::uint64_t kMaxUsec = kMaxSeconds * 1'000'000 + 999'999;

// A field of the input as a message quotes it: no longer than `limit`, escaped.
std::string Quote(std::string_view field, std::size_t limit) {
    return "\"" + EscapeForDisplay(field.substr(0, limit)) + "\"";
}

std::string SecondsText(std::uint64_t usec) {
    char text[48];
    std::snprintf(text, sizeof text, "%llu.%06llu",
                  static_cast<unsigned long long>(usec / 1'000'000),
                  static_cast<unsigned long long>(usec % 1'000'000));
    return text;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsControl(char c) {
    return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == '\x7f';
}

// A name or path from a device as one line that reads back the same.
std::string OneLine(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (IsControl(c))
            c = ' ';
    }
    return out;
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Splits off the next blank-separated field; empty when none is left.
std::string_view NextField(std::string_view& rest) {
    rest = TrimBlanks(rest);
    std::size_t end = 0;
    while (end < rest.size() && !IsBlank(rest[end]))
        ++end;
    const std::string_view field = rest.substr(0, end);
    rest.remove_prefix(end);
    return field;
}

template <typename T>
bool ParseNumber(std::string_view text, T& value, int base) {
    if (text.empty())
        return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc{} && end == text.data() + text.size();
}

bool IsDigits(std::string_view text) {
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return !text.empty();
}

void AppendHex(std::string& out, std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (std::uint8_t b : bytes) {
        out += ' ';
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
}

}  // namespace

std::string RecordingError::Describe() const {
    return line == 0 ? what : "line " + std::to_string(line) + ": " + what;
}

std::string FormatRecordedDevice(const RecordedDevice& device, std::optional<std::size_t> index) {
    std::string out;
    if (index)
        out += "D: " + std::to_string(*index) + "\n";
    out += "R: " + std::to_string(device.descriptor.size());
    AppendHex(out, device.descriptor);
    out += "\nN: " + OneLine(device.name) + "\nP: " + OneLine(device.phys) + "\n";
    char ids[32];
    std::snprintf(ids, sizeof ids, "I: %x %04x %04x\n", device.bus, device.vendor, device.product);
    out += ids;
    return out;
}

std::string FormatRecordedEvent(std::uint64_t usec, std::span<const std::uint8_t> data) {
    char head[48];
    std::snprintf(head, sizeof head, "E: %06llu.%06llu %zu",
                  static_cast<unsigned long long>(usec / 1'000'000),
                  static_cast<unsigned long long>(usec % 1'000'000), data.size());
    std::string out = head;
    AppendHex(out, data);
    out += '\n';
    return out;
}

std::string FormatHidRecording(const HidRecording& recording) {
    const bool several = recording.devices.size() > 1;
    std::string out;
    for (std::size_t i = 0; i < recording.devices.size(); ++i)
        out += FormatRecordedDevice(recording.devices[i],
                                    several ? std::optional<std::size_t>(i) : std::nullopt);
    std::optional<std::size_t> last;
    for (const RecordedEvent& event : recording.events) {
        if (several && last != event.device)
            out += "D: " + std::to_string(event.device) + "\n";
        last = event.device;
        out += FormatRecordedEvent(event.usec, event.data);
    }
    return out;
}

std::string RecordingWarnings::Describe() const {
    if (timeSteps == 0)
        return {};
    std::string text = "line " + std::to_string(firstStepLine) + ": the time steps back " +
                       SecondsText(firstStepUsec) +
                       " s (was a clock set back while it was recorded?); replayed as no gap";
    if (timeSteps > 1)
        text += ", as are the " + std::to_string(timeSteps - 1) + " more steps back after it";
    return text;
}

HidRecordingReader::Step HidRecordingReader::Fail(std::size_t line, std::string what) {
    // A fault on a last line without its newline is most likely a file cut short.
    if (line == m_line && m_unterminated && what.find("cut short") == std::string::npos)
        what += " (is the file cut short?)";
    m_error = RecordingError{line, std::move(what)};
    m_failed = true;
    return Step::Fault;
}

HidRecordingReader::Step HidRecordingReader::Take(std::string_view line, bool last) {
    if (m_failed)
        return Step::Fault;
    ++m_line;
    m_unterminated = last;
    // Checked before anything else, so that a reader that holds only so much of a line
    // fails on it the same way.
    if (line.size() > kMaxRecordingLine)
        return Fail("longer than " + std::to_string(kMaxRecordingLine) +
                    " bytes: not a line of a hid-recorder file");
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return Parse(line);
}

bool HidRecordingReader::Finish() {
    if (m_failed)
        return false;
    m_unterminated = false;
    if (m_devices.empty()) {
        Fail(0, "no device in it (no R: line): not a hid-recorder file");
        return false;
    }
    for (std::size_t i = 0; i < m_devices.size(); ++i) {
        if (!Complete(i)) {
            Fail(m_line, "end of file: device " + std::to_string(i) +
                             " has no R: or no I: line (is the file cut short?)");
            return false;
        }
    }
    return true;
}

HidRecordingReader::Step HidRecordingReader::Parse(std::string_view line) {
    const std::string_view trimmed = TrimBlanks(line);
    if (trimmed.empty() || trimmed.front() == '#')
        return Step::Line;
    if (trimmed.size() < 2 || trimmed[1] != ':')
        return Fail(Quote(trimmed, 40) + " is not a line of a hid-recorder file");
    const char kind = trimmed[0];
    const std::string_view rest = trimmed.substr(2);
    switch (kind) {
        case 'D':
            return Device(rest);
        case 'R':
            return Descriptor(rest);
        case 'N':
        case 'P':
            return Text(kind, TrimBlanks(rest));
        case 'I':
            return Ids(rest);
        case 'E':
            return Report(rest);
        case 'B':
            // A HID-BPF program the recorder saw attached: nothing here attaches one,
            // and the descriptor recorded is already the one it gave.
            return Step::Line;
        default:
            return Fail("unknown line type " + Quote(trimmed.substr(0, 2), 2));
    }
}

HidRecordingReader::Step HidRecordingReader::Device(std::string_view rest) {
    std::size_t index = 0;
    const std::string_view field = NextField(rest);
    if (!ParseNumber(field, index, 10) || !TrimBlanks(rest).empty())
        return Fail("D: wants one device number, not " + Quote(field, 20));
    const std::size_t count = m_devices.size();
    if (index > count)
        return Fail("D: " + std::to_string(index) + " comes before device " +
                    std::to_string(count) + " is described");
    if (index == count) {
        if (count == kMaxRecordedDevices)
            return Fail("D: more than the " + std::to_string(kMaxRecordedDevices) +
                        " devices hidraw can have");
        NewDevice();
    }
    m_current = index;
    m_usedD = true;
    return Step::Line;
}

void HidRecordingReader::NewDevice() {
    m_devices.emplace_back();
    m_seen.emplace_back();
}

// The device a describing line is about: the current one, or the first when the file
// has no D: lines.
HidRecordingReader::Step HidRecordingReader::DescribedDevice(char kind, std::size_t* index) {
    if (!m_current) {
        if (m_usedD || !m_devices.empty())
            return Fail(std::string(1, kind) + ": without a D: line before it");
        NewDevice();
        m_current = 0;
    }
    *index = *m_current;
    return Step::Line;
}

HidRecordingReader::Step HidRecordingReader::Bytes(char kind, std::string_view rest,
                                                   std::size_t count,
                                                   std::vector<std::uint8_t>* out) {
    out->clear();
    out->reserve(count);
    for (std::string_view field = NextField(rest); !field.empty(); field = NextField(rest)) {
        unsigned value = 0;
        if (field.size() != 2 || !ParseNumber(field, value, 16))
            return Fail(std::string(1, kind) + ": " + Quote(field, 20) + " is not a byte in hex");
        if (out->size() == count)
            return Fail(std::string(1, kind) + ": more bytes than its " + std::to_string(count) +
                        " say");
        out->push_back(static_cast<std::uint8_t>(value));
    }
    if (out->size() < count) {
        // A mail program that wraps long lines leaves a descriptor short on its line.
        if (kind == 'R')
            return Fail("R: " + std::to_string(out->size()) + " of the " + std::to_string(count) +
                        " descriptor bytes its length announces are on the line (was the line "
                        "wrapped, by a mail program say, or the file cut short?)");
        return Fail(std::string(1, kind) + ": gives " + std::to_string(out->size()) +
                    " bytes, its size says " + std::to_string(count) + " (is the file cut short?)");
    }
    return Step::Line;
}

HidRecordingReader::Step HidRecordingReader::Descriptor(std::string_view rest) {
    std::size_t index = 0;
    if (DescribedDevice('R', &index) == Step::Fault)
        return Step::Fault;
    if (m_seen[index].r)
        return Fail("R: a second descriptor for device " + std::to_string(index) +
                    (m_usedD ? "" : " (several devices need D: lines)"));
    std::size_t length = 0;
    const std::string_view field = NextField(rest);
    if (!ParseNumber(field, length, 10))
        return Fail("R: wants the descriptor's length first, not " + Quote(field, 20));
    if (length == 0 || length > kMaxRecordedDescriptor)
        return Fail("R: a descriptor of " + std::to_string(length) +
                    " bytes (1 to 4096 are possible)");
    if (Bytes('R', rest, length, &m_devices[index].descriptor) == Step::Fault)
        return Step::Fault;
    m_seen[index].r = true;
    return Step::Line;
}

HidRecordingReader::Step HidRecordingReader::Text(char kind, std::string_view value) {
    std::size_t index = 0;
    if (DescribedDevice(kind, &index) == Step::Fault)
        return Step::Fault;
    bool& seen = kind == 'N' ? m_seen[index].n : m_seen[index].p;
    if (seen)
        return Fail(std::string(1, kind) + ": a second one for device " + std::to_string(index));
    const std::size_t limit = kind == 'N' ? kMaxRecordedName : kMaxRecordedPhys;
    if (value.size() > limit)
        return Fail(std::string(1, kind) + ": longer than " + std::to_string(limit) + " bytes");
    // A carriage return or the like would not survive being written back.
    for (char c : value) {
        if (IsControl(c))
            return Fail(std::string(1, kind) + ": a control character in the text");
    }
    RecordedDevice& device = m_devices[index];
    (kind == 'N' ? device.name : device.phys) = std::string(value);
    seen = true;
    return Step::Line;
}

HidRecordingReader::Step HidRecordingReader::Ids(std::string_view rest) {
    std::size_t index = 0;
    if (DescribedDevice('I', &index) == Step::Fault)
        return Step::Fault;
    if (m_seen[index].i)
        return Fail("I: a second one for device " + std::to_string(index));
    std::uint16_t values[3] = {};
    for (std::uint16_t& value : values) {
        std::string_view field = NextField(rest);
        if (field.starts_with("0x") || field.starts_with("0X"))
            field.remove_prefix(2);
        if (!ParseNumber(field, value, 16))
            return Fail("I: wants bus, vendor and product in hex (16 bits each)");
    }
    if (!TrimBlanks(rest).empty())
        return Fail("I: more than bus, vendor and product");
    RecordedDevice& device = m_devices[index];
    device.bus = values[0];
    device.vendor = values[1];
    device.product = values[2];
    m_seen[index].i = true;
    return Step::Line;
}

HidRecordingReader::Step HidRecordingReader::Report(std::string_view rest) {
    if (!m_current || m_devices.empty())
        return Fail("E: before any device is described");
    const std::size_t device = *m_current;
    if (!Complete(device))
        return Fail("E: before the R: and I: lines of device " + std::to_string(device));

    const std::string_view time = NextField(rest);
    const std::size_t dot = time.find('.');
    std::uint64_t seconds = 0;
    std::uint64_t micro = 0;
    if (dot == std::string_view::npos || !IsDigits(time.substr(0, dot)) ||
        time.size() - dot - 1 != 6 || !IsDigits(time.substr(dot + 1)) ||
        !ParseNumber(time.substr(0, dot), seconds, 10) ||
        !ParseNumber(time.substr(dot + 1), micro, 10) || seconds > kMaxSeconds) {
        return Fail("E: the time must be seconds.microseconds (6 digits), not " + Quote(time, 20));
    }
    const std::uint64_t usec = seconds * 1'000'000 + micro;

    std::size_t size = 0;
    const std::string_view sizeField = NextField(rest);
    if (!ParseNumber(sizeField, size, 10))
        return Fail("E: wants the report's size after the time, not " + Quote(sizeField, 20));
    if (size == 0 || size > kMaxRecordedReport)
        return Fail("E: a report of " + std::to_string(size) + " bytes (1 to 4096 are possible)");
    if (Bytes('E', rest, size, &m_event.data) == Step::Fault)
        return Step::Fault;

    // A step back is a clock set back, not a fault of the reports: no gap there, and the
    // spacing of the reports after it kept.
    std::uint64_t time0 = m_lastTime;
    if (usec < m_lastUsec) {
        if (m_warnings.timeSteps++ == 0) {
            m_warnings.firstStepLine = m_line;
            m_warnings.firstStepUsec = m_lastUsec - usec;
        }
    } else if (m_events > 0) {
        time0 += usec - m_lastUsec;
    } else {
        time0 = usec;
    }
    if (time0 > kMaxUsec)
        return Fail("E: with its steps back taken out, the times go past " +
                    std::to_string(kMaxSeconds) + " s");
    m_lastUsec = usec;
    m_lastTime = time0;
    m_event.device = device;
    m_event.usec = time0;
    ++m_events;
    return Step::Event;
}

std::optional<HidRecording> ParseHidRecording(std::string_view text, RecordingError* error,
                                              RecordingWarnings* warnings) {
    HidRecordingReader reader;
    HidRecording recording;
    std::size_t pos = 0;
    bool ok = true;
    while (ok && pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        const bool last = end == std::string_view::npos;
        if (last)
            end = text.size();
        switch (reader.Take(text.substr(pos, end - pos), last)) {
            case HidRecordingReader::Step::Event:
                recording.events.push_back(reader.Event());
                break;
            case HidRecordingReader::Step::Fault:
                ok = false;
                break;
            case HidRecordingReader::Step::Line:
                break;
        }
        pos = end + 1;
    }
    if (!ok || !reader.Finish()) {
        if (error != nullptr)
            *error = reader.Error();
        return std::nullopt;
    }
    if (warnings != nullptr)
        *warnings = reader.Warnings();
    recording.devices = reader.Devices();
    return recording;
}
