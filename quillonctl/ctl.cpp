#include "quillonctl/ctl.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>

#include "platform/hid_device.h"
#include "receiver/receiver_monitor.h"
#include "service/token_verification.h"

HidSystem& CtlHid() {
    return DefaultHidSystem();
}

const char* VerifyOutcomeKey(VerifyOutcome outcome) {
    switch (outcome) {
        case VerifyOutcome::Passed:
            return "passed";
        case VerifyOutcome::Bound:
            return "bound";
        case VerifyOutcome::NotPassed:
            return "not_passed";
        case VerifyOutcome::NetworkFailure:
            return "network_failure";
        case VerifyOutcome::Exception:
            break;
    }
    return "exception";
}

std::string WithServiceResult(const std::string& text, std::optional<std::int32_t> result) {
    if (!result || *result == 0)
        return text;
    return text + " (result " + std::to_string(*result) + ")";
}

nlohmann::json ServiceResultJson(std::optional<std::int32_t> result) {
    return result ? nlohmann::json(*result) : nlohmann::json(nullptr);
}

std::string EscapeForMessage(std::string_view text) {
    std::string out;
    char buffer[16];
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            if (b == '\\') {
                out += "\\\\";
            } else if (b == '\n') {
                out += "\\n";
            } else if (b == '\t') {
                out += "\\t";
            } else if (b == '\r') {
                out += "\\r";
            } else if (b < 0x20 || b == 0x7F) {
                std::snprintf(buffer, sizeof buffer, "\\x%02X", b);
                out += buffer;
            } else {
                out.push_back(static_cast<char>(b));
            }
            ++i;
            continue;
        }
        // A whole, shortest-form sequence, or the byte escaped on its own.
        const std::size_t len = (b & 0xE0) == 0xC0   ? 2
                                : (b & 0xF0) == 0xE0 ? 3
                                : (b & 0xF8) == 0xF0 ? 4
                                                     : 0;
        char32_t cp = len == 0 ? 0 : b & (0x7Fu >> len);
        bool ok = len != 0 && i + len <= text.size();
        for (std::size_t k = 1; ok && k < len; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            ok = (c & 0xC0) == 0x80;
            cp = (cp << 6) | (c & 0x3Fu);
        }
        static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (ok && (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)))
            ok = false;
        if (!ok) {
            std::snprintf(buffer, sizeof buffer, "\\x%02X", b);
            out += buffer;
            ++i;
            continue;
        }
        if (cp <= 0x9F || cp == 0xFFFE || cp == 0xFFFF) {
            std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned>(cp));
            out += buffer;
        } else {
            out.append(text.substr(i, len));
        }
        i += len;
    }
    return out;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "quillonctl: %s\n", message.c_str());
    return kExitUsage;
}

std::string JsonText(const nlohmann::json& value) {
    // Invalid UTF-8 (a device's name, say) is replaced, never a reason to fail.
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void PrintJson(const nlohmann::json& value) {
    const std::string text = JsonText(value);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

namespace {
bool g_stdoutClosed = false;
}  // namespace

void ReserveStandardStreams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        if (fd == STDOUT_FILENO)
            g_stdoutClosed = true;
        // The lowest free descriptor: this one, as the ones below are open by now.
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd)
            ::close(null);
    }
}

bool StdoutCameClosed() {
    return g_stdoutClosed;
}

double MonotonicSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
