// libFuzzer: the configuration file reader on any text. What it accepts must pass
// the checks a client is built on; what it refuses is named in one line that starts
// with the file's name, points at a line the text has and quotes nothing raw.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "service/service_config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    constexpr std::string_view kName = "quillon.conf";
    const ServiceConfig config = ParseServiceConfig(text, kName);
    if (config.ok()) {
        const ServiceSettings& s = config.settings;
        if (!CheckEndpointUrl(s.endpoint).empty() || s.source != kName ||
            s.proxyHost.empty() != (s.proxyPort == 0)) {
            __builtin_trap();
        }
        return 0;
    }
    const std::string& e = config.error;
    if (!e.starts_with(std::string(kName) + ":")) {
        __builtin_trap();
    }
    // Whatever of the text it quotes, it shows no control character raw.
    for (char c : e) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            __builtin_trap();
        }
    }
    // "<file>:<line>: <what>": the line is one of the text's.
    const std::string_view rest = std::string_view(e).substr(kName.size() + 1);
    if (!rest.empty() && rest[0] >= '0' && rest[0] <= '9') {
        const long line = std::strtol(std::string(rest.substr(0, 12)).c_str(), nullptr, 10);
        std::size_t lines = 1;
        for (char c : text)
            lines += c == '\n' ? 1 : 0;
        if (line < 1 || static_cast<std::size_t>(line) > lines) {
            __builtin_trap();
        }
    }
    return 0;
}
