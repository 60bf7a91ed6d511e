// libFuzzer: the reply reader must never crash, hang or leak on any body, fed in
// any slice size, and may only report a result on success.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "service/revise_ekey_messages.h"
#include "service/status.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte picks the slice size, so chunk boundaries are fuzzed too.
    const std::size_t slice = data[0] == 0 ? SIZE_MAX : data[0];
    const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
    StringStream stream(body, slice);
    SaxReader reader;
    ReviseEkeyParams params;
    const std::int32_t rc = ReadReviseEkeyResponse(stream, params, reader);
    if (rc > 0 || reader.ContentHandler() != nullptr) {
        __builtin_trap();
    }
    return 0;
}
