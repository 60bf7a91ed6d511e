#include "quillonctl/options.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>

#include "quillonctl/ctl.h"

namespace {}  // namespace

std::string QuoteArgument(const std::string& text) {
    constexpr std::size_t kShown = 40;
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size() && i < kShown; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (text.size() > kShown)
        out += "...";
    return out + "\"";
}

namespace {

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

const char* StatusText(int status) {
    switch (status) {
        case kExitOk:
            return "ok";
        case kExitUsage:
            return "usage or internal error";
        case kExitAbsent:
            return "a receiver is absent";
        case kExitDenied:
            return "a receiver may not be opened by this user";
        case kExitHeld:
            return "a receiver is held by another program";
        case kExitNotPassed:
            return "token not passed";
        case kExitBound:
            return "token bound (21030)";
        case kExitServiceFailed:
            return "token service unreachable or failing";
        case kExitDoctorFailed:
            return "doctor: a check failed";
        case kExitKeysFailed:
            return "test: a key missing, pressed twice or stuck";
        case kExitAborted:
            return "test: the run was aborted";
    }
    return "?";
}

}  // namespace

std::string ParseNumber(const std::string& text, NumberRange range, double* value) {
    const std::string wanted = " (" + std::string(range.unit) + " from " + Number(range.min) +
                               " to " + Number(range.max) + ")";
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (begin != end && *begin == '+')
        ++begin;
    double parsed = 0;
    const auto [ptr, ec] = std::from_chars(begin, end, parsed);
    if (ptr != end || begin == end || (ec != std::errc() && ec != std::errc::result_out_of_range))
        return QuoteArgument(text) + " is not a number" + wanted;
    if (ec == std::errc() && std::isnan(parsed))
        return QuoteArgument(text) + " is not a number" + wanted;
    if (ec == std::errc::result_out_of_range || !std::isfinite(parsed) || parsed < range.min ||
        parsed > range.max) {
        return QuoteArgument(text) + " is out of range" + wanted;
    }
    *value = parsed;
    return {};
}

CLI::Option* AddNumberOption(CLI::App* command, const std::string& name, double& value,
                             NumberRange range, const std::string& description) {
    // A callback of our own rather than check(): the error then names the option
    // whether or not it is hidden.
    CLI::Option* option = command->add_option_function<std::string>(
        name,
        [name, range, &value](const std::string& text) {
            const std::string error = ParseNumber(text, range, &value);
            if (!error.empty())
                throw CLI::ValidationError(name, error);
        },
        description);
    option->type_name("NUMBER");
    return option;
}

std::string ExitStatusFooter(std::initializer_list<int> statuses) {
    constexpr std::size_t kWidth = 84;
    std::string text = "Exit status:";
    std::size_t lineStart = 0;
    std::size_t left = statuses.size();
    for (int status : statuses) {
        const std::string item =
            std::to_string(status) + " " + StatusText(status) + (--left == 0 ? "." : ";");
        if (text.size() - lineStart + 1 + item.size() > kWidth) {
            text += "\n";
            lineStart = text.size();
        } else {
            text += " ";
        }
        text += item;
    }
    return text;
}
