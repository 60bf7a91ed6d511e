// libFuzzer target: the report-descriptor walker and the uevent reader get arbitrary
// bytes. AddressSanitizer catches any read outside the input, which libFuzzer hands
// over in a buffer of exactly its size.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/hid_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ParseTopLevelCollection(std::span<const std::uint8_t>(data, size));
    ParseHidIdFromUevent(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
