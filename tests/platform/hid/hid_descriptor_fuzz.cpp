// libFuzzer target: the report-descriptor walker and the uevent reader get arbitrary
// bytes. AddressSanitizer catches any read outside the input, which libFuzzer hands
// over in a buffer of exactly its size.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/hid/hid_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    ParseTopLevelCollection(bytes);
    // The layout, and each field's first values read from the input itself as a report.
    if (const auto layout = ParseReportLayout(bytes)) {
        std::size_t searched = 0;
        for (const HidField& field : layout->fields) {
            layout->ReportBytes(field.type, field.reportId);
            std::uint32_t index = 0;
            const auto usage = field.UsageOf(field.count > 0 ? field.count - 1 : 0);
            if (usage && ++searched <= 64)
                layout->FindUsage(field.type, field.reportId, *usage, &index);
            for (std::uint32_t i = 0; i < field.count && i < 4; ++i)
                HidFieldValue(bytes, *layout, field, i);
        }
    }
    ParseHidIdFromUevent(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
