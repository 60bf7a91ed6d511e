// libFuzzer: URL escaping and splitting keep every part within its limit, and a
// failed split leaves the endpoint cleared.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "service/http_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view url(reinterpret_cast<const char*>(data), size);
    std::string escaped;
    if (EscapeUrl(url, escaped) && escaped.size() > kMaxEscapedUrl) {
        __builtin_trap();
    }
    EndpointUrl ep;
    if (SplitEndpointUrl(url, ep)) {
        if (ep.schemeName.size() > kMaxSchemeName || ep.hostName.size() > kMaxHostName ||
            ep.userName.size() > kMaxUserName || ep.password.size() > kMaxPassword ||
            ep.urlPath.size() > kMaxUrlPath || ep.extraInfo.size() > kMaxExtraInfo ||
            (!ep.password.empty() && ep.userName.empty())) {
            __builtin_trap();
        }
    } else if (ep.scheme != URL_SCHEME_UNKNOWN || ep.port != 0 || !ep.hostName.empty() ||
               !ep.schemeName.empty() || !ep.urlPath.empty()) {
        __builtin_trap();
    }
    return 0;
}
