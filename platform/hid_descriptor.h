#pragma once

// Pure parsers for what sysfs tells about a HID interface. They take bytes and text,
// never file names, so tests and the fuzzer feed them directly.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

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

// Reads the `HID_ID=bus:vendor:product` line (hexadecimal) of a HID device's uevent.
std::optional<HidAttributes> ParseHidIdFromUevent(std::string_view uevent);

// The value of `key` in a uevent text ("KEY=value" lines), "" when absent.
std::string UeventValue(std::string_view uevent, std::string_view key);
