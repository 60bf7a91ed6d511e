// libFuzzer: the hid-recorder file parser on any text. A text it accepts comes back the
// same through the writer and the parser again, within the kernel's limits; a text it
// refuses is refused on a line the text has, with a message that carries no control
// character (what it quotes of the text is escaped).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/hid/hid_recording.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    RecordingError error;
    RecordingWarnings warnings;
    const auto recording = ParseHidRecording(text, &error, &warnings);
    std::size_t lines = 1;
    for (char c : text)
        lines += c == '\n' ? 1 : 0;
    if (!recording) {
        if (error.line > lines || error.what.empty())
            __builtin_trap();
        for (char c : error.Describe()) {
            if (static_cast<unsigned char>(c) < 0x20 || c == '\x7f')
                __builtin_trap();
        }
        return 0;
    }
    if ((warnings.timeSteps > 0) != (warnings.firstStepLine > 0) || warnings.firstStepLine > lines)
        __builtin_trap();
    if (recording->devices.empty())
        __builtin_trap();
    std::uint64_t last = 0;
    for (const RecordedEvent& event : recording->events) {
        if (event.device >= recording->devices.size() || event.usec < last ||
            event.data.size() > kMaxRecordedReport) {
            __builtin_trap();
        }
        last = event.usec;
    }
    for (const RecordedDevice& device : recording->devices) {
        if (device.descriptor.size() > kMaxRecordedDescriptor ||
            device.name.size() > kMaxRecordedName || device.phys.size() > kMaxRecordedPhys) {
            __builtin_trap();
        }
    }
    // What the writer makes of it reads back as the same recording.
    const std::string again = FormatHidRecording(*recording);
    RecordingError second;
    const auto reread = ParseHidRecording(again, &second);
    if (!reread || reread->devices != recording->devices || reread->events != recording->events)
        __builtin_trap();
    return 0;
}
