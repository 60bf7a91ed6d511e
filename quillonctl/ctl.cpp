#include "quillonctl/ctl.h"

#include <time.h>

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

int Fail(const std::string& message) {
    std::fprintf(stderr, "quillonctl: %s\n", message.c_str());
    return kExitUsage;
}

void PrintJson(const nlohmann::json& value) {
    // Invalid UTF-8 (a device's name, say) is replaced, never a reason to fail.
    const std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

double MonotonicSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
