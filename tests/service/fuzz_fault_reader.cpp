// libFuzzer: the fault reader must never crash, hang or leak, and keeps its texts
// within the cap.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "service/revise_ekey_messages.h"
#include "service/status.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t slice = data[0] == 0 ? SIZE_MAX : data[0];
    const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
    StringStream stream(body, slice);
    SaxReader reader;
    SoapFaultRecord fault;
    const std::int32_t rc = ReadSoapFault(stream, reader, fault);
    const std::size_t cap = kMaxFaultTextBytes;
    if (rc > 0 || fault.faultcode.size() > cap || fault.faultstring.size() > cap ||
        fault.faultactor.size() > cap || fault.detail.size() > cap) {
        __builtin_trap();
    }
    return 0;
}
