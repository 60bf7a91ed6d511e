#include "platform/hid/hid_descriptor.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace {

enum ItemType : std::uint8_t { kMain = 0, kGlobal = 1, kLocal = 2, kReserved = 3 };

constexpr std::uint8_t kLongItemPrefix = 0xFE;

// Main item tags.
constexpr std::uint8_t kTagInput = 0x08;
constexpr std::uint8_t kTagOutput = 0x09;
constexpr std::uint8_t kTagFeature = 0x0B;
constexpr std::uint8_t kTagCollection = 0x0A;
constexpr std::uint8_t kTagEndCollection = 0x0C;
// Global item tags.
constexpr std::uint8_t kTagUsagePage = 0x00;
constexpr std::uint8_t kTagLogicalMinimum = 0x01;
constexpr std::uint8_t kTagLogicalMaximum = 0x02;
constexpr std::uint8_t kTagReportSize = 0x07;
constexpr std::uint8_t kTagReportId = 0x08;
constexpr std::uint8_t kTagReportCount = 0x09;
constexpr std::uint8_t kTagPush = 0x0A;
constexpr std::uint8_t kTagPop = 0x0B;
// Local item tags.
constexpr std::uint8_t kTagUsage = 0x00;
constexpr std::uint8_t kTagUsageMinimum = 0x01;
constexpr std::uint8_t kTagUsageMaximum = 0x02;

// Deeper nesting than any real device uses; the kernel's own limits are similar.
constexpr std::size_t kMaxPushDepth = 16;
constexpr std::size_t kMaxCollectionDepth = 256;
// The kernel's limits on a field and a report (HID_MAX_USAGES, HID_MAX_BUFFER_SIZE).
constexpr std::uint32_t kMaxReportSize = 256;
constexpr std::uint32_t kMaxReportCount = 12288;
constexpr std::uint64_t kMaxReportBits = (16384 - 1) * 8;

std::uint32_t LittleEndian(std::span<const std::uint8_t> data) {
    std::uint32_t value = 0;
    for (std::size_t i = data.size(); i > 0; --i)
        value = (value << 8) | data[i - 1];
    return value;
}

struct Item {
    bool isLong = false;
    ItemType type = kMain;
    std::uint8_t tag = 0;
    std::size_t size = 0;  // of the data, in bytes
    std::uint32_t data = 0;
};

// The item at `pos`, which is moved past it; false when the descriptor ends inside it.
bool NextItem(std::span<const std::uint8_t> descriptor, std::size_t& pos, Item* item) {
    const std::uint8_t prefix = descriptor[pos];
    if (prefix == kLongItemPrefix) {
        // bDataSize, bLongItemTag, data. No long item is defined; it is skipped whole.
        if (descriptor.size() - pos < 3)
            return false;
        const std::size_t size = descriptor[pos + 1];
        if (descriptor.size() - pos - 3 < size)
            return false;
        pos += 3 + size;
        *item = Item{true};
        return true;
    }
    const std::size_t sizeCode = prefix & 0x03u;
    const std::size_t size = sizeCode == 3 ? 4 : sizeCode;
    if (descriptor.size() - pos - 1 < size)
        return false;
    *item = Item{false, static_cast<ItemType>((prefix >> 2) & 0x03u),
                 static_cast<std::uint8_t>(prefix >> 4), size,
                 LittleEndian(descriptor.subspan(pos + 1, size))};
    pos += 1 + size;
    return true;
}

// An item's data as a signed number of its own width.
std::int64_t SignedData(const Item& item) {
    switch (item.size) {
        case 1:
            return static_cast<std::int8_t>(item.data);
        case 2:
            return static_cast<std::int16_t>(item.data);
        case 4:
            return static_cast<std::int32_t>(item.data);
    }
    return 0;
}

}  // namespace

std::optional<HidCaps> ParseTopLevelCollection(std::span<const std::uint8_t> descriptor) {
    std::array<std::uint32_t, kMaxPushDepth> pushed{};
    std::size_t pushDepth = 0;
    std::uint32_t usagePage = 0;

    // Only the first Usage of the local state names a collection.
    bool haveUsage = false;
    std::uint32_t usage = 0;
    bool usageExtended = false;

    std::size_t depth = 0;
    std::optional<HidCaps> first;

    std::size_t pos = 0;
    while (pos < descriptor.size()) {
        Item item;
        if (!NextItem(descriptor, pos, &item))
            return std::nullopt;
        if (item.isLong)
            continue;
        const std::uint8_t tag = item.tag;
        const std::uint32_t data = item.data;

        switch (item.type) {
            case kMain:
                if (tag == kTagCollection) {
                    if (depth == 0 && !first) {
                        // A 4-byte usage carries its own page in the high half.
                        const std::uint32_t page = usageExtended ? usage >> 16 : usagePage;
                        if (page > 0xFFFF)
                            return std::nullopt;
                        first = HidCaps{static_cast<std::uint16_t>(page),
                                        static_cast<std::uint16_t>(haveUsage ? usage & 0xFFFF : 0)};
                    }
                    if (++depth > kMaxCollectionDepth)
                        return std::nullopt;
                } else if (tag == kTagEndCollection) {
                    if (depth == 0)
                        return std::nullopt;
                    --depth;
                }
                haveUsage = false;
                usageExtended = false;
                usage = 0;
                break;
            case kGlobal:
                if (tag == kTagUsagePage) {
                    usagePage = data;
                } else if (tag == kTagPush) {
                    if (pushDepth == kMaxPushDepth)
                        return std::nullopt;
                    pushed[pushDepth++] = usagePage;
                } else if (tag == kTagPop) {
                    if (pushDepth == 0)
                        return std::nullopt;
                    usagePage = pushed[--pushDepth];
                }
                break;
            case kLocal:
                if (tag == kTagUsage && !haveUsage) {
                    haveUsage = true;
                    usage = data;
                    usageExtended = item.size == 4;
                }
                break;
            case kReserved:
                return std::nullopt;
        }
    }
    if (depth != 0)
        return std::nullopt;
    return first;
}

std::optional<std::uint32_t> HidField::UsageOf(std::uint32_t index) const {
    std::uint64_t start = 0;
    for (const UsageRange& range : usages) {
        const std::uint64_t length = std::uint64_t{range.last} - range.first + 1;
        if (index < start + length)
            return static_cast<std::uint32_t>(range.first + (index - start));
        start += length;
    }
    if (usages.empty())
        return std::nullopt;
    return usages.back().last;
}

std::size_t HidReportLayout::ReportBytes(HidReportType type, std::uint8_t reportId) const {
    bool declared = false;
    std::uint64_t bits = 0;
    for (const HidField& f : fields) {
        if (f.type == type && f.reportId == reportId) {
            declared = true;
            bits = std::max<std::uint64_t>(
                bits, std::uint64_t{f.bitOffset} + std::uint64_t{f.size} * f.count);
        }
    }
    if (!declared)
        return 0;
    return static_cast<std::size_t>((bits + 7) / 8) + (numbered ? 1 : 0);
}

const HidField* HidReportLayout::FindUsage(HidReportType type, std::uint8_t reportId,
                                           std::uint32_t usage, std::uint32_t* index) const {
    for (const HidField& f : fields) {
        if (f.type != type || f.reportId != reportId || !f.variable || f.constant)
            continue;
        std::uint64_t start = 0;
        for (const HidField::UsageRange& range : f.usages) {
            if (usage >= range.first && usage <= range.last &&
                start + (usage - range.first) < f.count) {
                *index = static_cast<std::uint32_t>(start + (usage - range.first));
                return &f;
            }
            start += std::uint64_t{range.last} - range.first + 1;
        }
    }
    return nullptr;
}

std::optional<HidReportLayout> ParseReportLayout(std::span<const std::uint8_t> descriptor) {
    // The walk above checks the nesting; this one only adds up the fields.
    if (!ParseTopLevelCollection(descriptor))
        return std::nullopt;

    struct Globals {
        std::uint32_t usagePage = 0;
        Item logicalMinimum;
        Item logicalMaximum;
        std::uint32_t reportSize = 0;
        std::uint32_t reportCount = 0;
        std::uint8_t reportId = 0;
    };
    std::array<Globals, kMaxPushDepth> pushed{};
    std::size_t pushDepth = 0;
    Globals globals;

    // A local usage gets the Usage Page in force at its main item, unless it is 4
    // bytes long and so carries its own.
    struct LocalUsage {
        std::uint32_t first = 0;
        std::uint32_t last = 0;
        bool extended = false;
    };
    std::vector<LocalUsage> usages;
    // Not an optional<Item>: gcc 12 takes its fields for uninitialized at -O1.
    bool hasUsageMinimum = false;
    Item usageMinimum;

    HidReportLayout layout;
    // Bits so far of each report, by type and ID.
    std::array<std::array<std::uint64_t, 256>, 3> reportBits{};

    std::size_t pos = 0;
    while (pos < descriptor.size()) {
        Item item;
        if (!NextItem(descriptor, pos, &item))
            return std::nullopt;
        if (item.isLong)
            continue;
        switch (item.type) {
            case kMain: {
                HidReportType type;
                if (item.tag == kTagInput) {
                    type = HidReportType::Input;
                } else if (item.tag == kTagOutput) {
                    type = HidReportType::Output;
                } else if (item.tag == kTagFeature) {
                    type = HidReportType::Feature;
                } else {
                    usages.clear();
                    hasUsageMinimum = false;
                    break;
                }
                if (globals.reportSize > kMaxReportSize || globals.reportCount > kMaxReportCount)
                    return std::nullopt;
                std::uint64_t& bits = reportBits[static_cast<std::size_t>(type)][globals.reportId];
                HidField field;
                field.type = type;
                field.reportId = globals.reportId;
                field.bitOffset = static_cast<std::uint32_t>(bits);
                field.size = globals.reportSize;
                field.count = globals.reportCount;
                bits += std::uint64_t{field.size} * field.count;
                if (bits > kMaxReportBits)
                    return std::nullopt;
                field.constant = (item.data & 0x01u) != 0;
                field.variable = (item.data & 0x02u) != 0;
                // A maximum is read as unsigned unless the minimum is negative.
                field.logicalMinimum = SignedData(globals.logicalMinimum);
                field.logicalMaximum = field.logicalMinimum < 0
                                           ? SignedData(globals.logicalMaximum)
                                           : std::int64_t{globals.logicalMaximum.data};
                for (const LocalUsage& u : usages) {
                    const std::uint32_t page = globals.usagePage << 16;
                    const std::uint32_t first = u.extended ? u.first : page | (u.first & 0xFFFF);
                    const std::uint32_t last = u.extended ? u.last : page | (u.last & 0xFFFF);
                    if (first <= last)
                        field.usages.push_back({first, last});
                }
                layout.fields.push_back(std::move(field));
                usages.clear();
                hasUsageMinimum = false;
                break;
            }
            case kGlobal:
                switch (item.tag) {
                    case kTagUsagePage:
                        globals.usagePage = item.data;
                        break;
                    case kTagLogicalMinimum:
                        globals.logicalMinimum = item;
                        break;
                    case kTagLogicalMaximum:
                        globals.logicalMaximum = item;
                        break;
                    case kTagReportSize:
                        globals.reportSize = item.data;
                        break;
                    case kTagReportCount:
                        globals.reportCount = item.data;
                        break;
                    case kTagReportId:
                        if (item.data == 0 || item.data > 0xFF)
                            return std::nullopt;
                        globals.reportId = static_cast<std::uint8_t>(item.data);
                        layout.numbered = true;
                        break;
                    case kTagPush:
                        if (pushDepth == kMaxPushDepth)
                            return std::nullopt;
                        pushed[pushDepth++] = globals;
                        break;
                    case kTagPop:
                        if (pushDepth == 0)
                            return std::nullopt;
                        globals = pushed[--pushDepth];
                        break;
                }
                break;
            case kLocal:
                if (item.tag == kTagUsage) {
                    usages.push_back({item.data, item.data, item.size == 4});
                } else if (item.tag == kTagUsageMinimum) {
                    usageMinimum = item;
                    hasUsageMinimum = true;
                } else if (item.tag == kTagUsageMaximum && hasUsageMinimum) {
                    usages.push_back({usageMinimum.data, item.data, usageMinimum.size == 4});
                    hasUsageMinimum = false;
                }
                break;
            case kReserved:
                return std::nullopt;
        }
    }
    return layout;
}

std::optional<std::uint32_t> HidFieldValue(std::span<const std::uint8_t> report,
                                           const HidReportLayout& layout, const HidField& field,
                                           std::uint32_t index) {
    if (index >= field.count || field.size == 0 || field.size > 32)
        return std::nullopt;
    const std::uint64_t start = (layout.numbered ? 8u : 0u) + std::uint64_t{field.bitOffset} +
                                std::uint64_t{index} * field.size;
    if (start + field.size > std::uint64_t{report.size()} * 8)
        return std::nullopt;
    std::uint32_t value = 0;
    for (std::uint32_t bit = 0; bit < field.size; ++bit) {
        const std::uint64_t at = start + bit;
        if ((static_cast<unsigned>(report[static_cast<std::size_t>(at / 8)]) >> (at % 8)) & 1u)
            value |= std::uint32_t{1} << bit;
    }
    return value;
}

namespace {

// Up to 8 hex digits, the whole field.
std::optional<std::uint32_t> ParseHexField(std::string_view field) {
    if (field.empty() || field.size() > 8)
        return std::nullopt;
    std::uint32_t value = 0;
    for (char c : field) {
        std::uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<std::uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<std::uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<std::uint32_t>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = (value << 4) | digit;
    }
    return value;
}

}  // namespace

std::optional<HidAttributes> ParseHidIdFromUevent(std::string_view uevent) {
    constexpr std::string_view kKey = "HID_ID=";
    while (!uevent.empty()) {
        const std::size_t end = uevent.find('\n');
        std::string_view line = uevent.substr(0, end);
        uevent = end == std::string_view::npos ? std::string_view{} : uevent.substr(end + 1);
        if (!line.starts_with(kKey))
            continue;
        line.remove_prefix(kKey.size());

        const std::size_t c1 = line.find(':');
        if (c1 == std::string_view::npos)
            return std::nullopt;
        const std::size_t c2 = line.find(':', c1 + 1);
        if (c2 == std::string_view::npos)
            return std::nullopt;
        const auto bus = ParseHexField(line.substr(0, c1));
        const auto vendor = ParseHexField(line.substr(c1 + 1, c2 - c1 - 1));
        const auto product = ParseHexField(line.substr(c2 + 1));
        if (!bus || !vendor || !product)
            return std::nullopt;
        // HID vendor and product ids are 16-bit; anything wider is not a real device.
        if (*bus > 0xFFFF || *vendor > 0xFFFF || *product > 0xFFFF)
            return std::nullopt;
        return HidAttributes{static_cast<std::uint16_t>(*bus), static_cast<std::uint16_t>(*vendor),
                             static_cast<std::uint16_t>(*product)};
    }
    return std::nullopt;
}

std::string UeventValue(std::string_view uevent, std::string_view key) {
    std::size_t pos = 0;
    while (pos < uevent.size()) {
        std::size_t end = uevent.find('\n', pos);
        if (end == std::string_view::npos)
            end = uevent.size();
        const std::string_view line = uevent.substr(pos, end - pos);
        if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == '=')
            return std::string(line.substr(key.size() + 1));
        pos = end + 1;
    }
    return {};
}
