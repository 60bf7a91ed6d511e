#pragma once

// Pure parsers for what sysfs tells about a HID interface. They take bytes and text,
// never file names, so tests and the fuzzer feed them directly.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Bus, vendor and product of a HID device (the parts of its attributes that are used).
struct HidAttributes {
    std::uint16_t bus = 0;  // BUS_USB is 3
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
};

// Usage page and usage of the first top-level collection.
struct HidCaps {
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;
};

// Walks a whole report descriptor (short and long items, 1/2/4-byte data, extended
// 32-bit usages, Push/Pop) and returns the first top-level collection. Nothing when
// the descriptor is truncated, unbalanced or otherwise malformed anywhere, or has no
// collection: the kernel refuses such descriptors, so they never come from a real
// device. Never reads outside `descriptor`.
std::optional<HidCaps> ParseTopLevelCollection(std::span<const std::uint8_t> descriptor);

enum class HidReportType : std::uint8_t { Input, Output, Feature };

// One Input, Output or Feature item: `count` values of `size` bits each, at
// `bitOffset` bits from the start of the report's data (after its report ID byte, if
// the descriptor numbers its reports). Value i has usage i of `usages`, the last one
// repeating for values beyond them; a usage is page << 16 | id.
struct HidField {
    struct UsageRange {
        std::uint32_t first = 0;
        std::uint32_t last = 0;
    };
    HidReportType type = HidReportType::Input;
    std::uint8_t reportId = 0;  // 0: an unnumbered report
    std::uint32_t bitOffset = 0;
    std::uint32_t size = 0;
    std::uint32_t count = 0;
    bool constant = false;
    bool variable = false;
    std::int64_t logicalMinimum = 0;
    std::int64_t logicalMaximum = 0;
    std::vector<UsageRange> usages;

    // The usage of value `index`; nothing when the field has no usage.
    std::optional<std::uint32_t> UsageOf(std::uint32_t index) const;
};

struct HidReportLayout {
    bool numbered = false;  // a Report ID item: every report starts with its ID byte
    std::vector<HidField> fields;

    // The report's length as hidraw delivers it, its ID byte included; 0 when the
    // descriptor declares no such report.
    std::size_t ReportBytes(HidReportType type, std::uint8_t reportId) const;
    // The field of that report whose variable values include `usage`, and the value's
    // index in it; nullptr when none has it.
    const HidField* FindUsage(HidReportType type, std::uint8_t reportId, std::uint32_t usage,
                              std::uint32_t* index) const;
};

// Every field of every report, as hidraw's readers see the reports. Nothing on the
// same grounds as ParseTopLevelCollection, and for a Report ID of 0, a report size
// over 256 bits, a count over 12288 or a report of 16384 bytes or more, as the kernel
// refuses them. Never reads outside `descriptor`.
std::optional<HidReportLayout> ParseReportLayout(std::span<const std::uint8_t> descriptor);

// Value `index` of `field` in `report` as hidraw delivers it (ID byte first when
// numbered), zero-extended; nothing when the report is too short or the value is
// wider than 32 bits.
std::optional<std::uint32_t> HidFieldValue(std::span<const std::uint8_t> report,
                                           const HidReportLayout& layout, const HidField& field,
                                           std::uint32_t index);

// Reads the `HID_ID=bus:vendor:product` line (hexadecimal) of a HID device's uevent.
std::optional<HidAttributes> ParseHidIdFromUevent(std::string_view uevent);

// The value of `key` in a uevent text ("KEY=value" lines), "" when absent.
std::string UeventValue(std::string_view uevent, std::string_view key);
