#include "platform/hid_descriptor.h"

#include <array>
#include <cstddef>

namespace {

enum ItemType : std::uint8_t { kMain = 0, kGlobal = 1, kLocal = 2, kReserved = 3 };

constexpr std::uint8_t kLongItemPrefix = 0xFE;

// Main item tags.
constexpr std::uint8_t kTagCollection = 0x0A;
constexpr std::uint8_t kTagEndCollection = 0x0C;
// Global item tags.
constexpr std::uint8_t kTagUsagePage = 0x00;
constexpr std::uint8_t kTagPush = 0x0A;
constexpr std::uint8_t kTagPop = 0x0B;
// Local item tags.
constexpr std::uint8_t kTagUsage = 0x00;

// Deeper nesting than any real device uses; the kernel's own limits are similar.
constexpr std::size_t kMaxPushDepth = 16;
constexpr std::size_t kMaxCollectionDepth = 256;

std::uint32_t LittleEndian(std::span<const std::uint8_t> data) {
    std::uint32_t value = 0;
    for (std::size_t i = data.size(); i > 0; --i)
        value = (value << 8) | data[i - 1];
    return value;
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
        const std::uint8_t prefix = descriptor[pos];
        if (prefix == kLongItemPrefix) {
            // bDataSize, bLongItemTag, data. No long item is defined; skip it whole.
            if (descriptor.size() - pos < 3)
                return std::nullopt;
            const std::size_t size = descriptor[pos + 1];
            if (descriptor.size() - pos - 3 < size)
                return std::nullopt;
            pos += 3 + size;
            continue;
        }

        const std::size_t sizeCode = prefix & 0x03u;
        const std::size_t size = sizeCode == 3 ? 4 : sizeCode;
        const auto type = static_cast<ItemType>((prefix >> 2) & 0x03u);
        const auto tag = static_cast<std::uint8_t>(prefix >> 4);
        if (descriptor.size() - pos - 1 < size)
            return std::nullopt;
        const std::uint32_t data = LittleEndian(descriptor.subspan(pos + 1, size));
        pos += 1 + size;

        switch (type) {
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
                    usageExtended = size == 4;
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
