#include "quillonctl/ctl.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>

#include "platform/hid/hid_device.h"
#include "quillonctl/texts.h"
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
    return Format(Translate("quillonctl", "%s (result %d)"), text.c_str(),
                  static_cast<int>(*result));
}

nlohmann::json ServiceResultJson(std::optional<std::int32_t> result) {
    return result ? nlohmann::json(*result) : nlohmann::json(nullptr);
}

int Fail(const std::string& message) {
    Tell(message);
    return kExitUsage;
}

void Tell(const std::string& message) {
    std::fprintf(stderr, "quillonctl: %s\n", message.c_str());
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
