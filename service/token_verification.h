#pragma once

// Online verification of one token frame: ReviseEkey with the serial number and the
// dynamic password given as both passwords, and the verdict as the text of the main
// dialog's verification line. Qt-free; runs on the IR dispatcher thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "service/service_config.h"

// The service's answer for a token that is already bound to a user.
inline constexpr std::int32_t RESULT_TOKEN_BOUND = 21030;

enum class VerifyOutcome {
    Passed,          // result 0
    Bound,           // result 21030
    NotPassed,       // any other result
    NetworkFailure,  // the call failed (transport, fault, unreadable reply, cancelled)
    Exception,       // an exception escaped the call
};

// The verification line for an outcome (UTF-8).
const char* VerifyText(VerifyOutcome outcome);

// Outcome of a call that returned `status` with `result`.
VerifyOutcome ClassifyVerifyResult(std::int32_t status, std::int32_t result);

// Builds a client, makes the call and destroys the client. A call in progress is
// cancelled as soon as g_bRunning is cleared (StopRunning), so a stopping program
// never waits on the network; a call started while g_bRunning is clear fails at once
// (NetworkFailure). `serial` and `password` are UTF-8. `serviceResult`, when given,
// gets the ReviseEkeyResult the service answered, or nothing when no reply came.
VerifyOutcome RunTokenVerification(std::string_view serial, std::string_view password,
                                   std::optional<std::int32_t>* serviceResult = nullptr);

// The configuration both flows (verification and calibration) build their clients
// from; the built-in settings until set. After a configuration that failed to load,
// every flow call fails as a network failure without a request: nothing is sent to
// an endpoint nobody meant. Thread-safe.
void SetFlowServiceConfig(ServiceConfig config);

// A client for one call of a flow, from the configuration above, with the endpoint of
// SetVerificationEndpoint in place of the configured one when that is set. Throws
// std::bad_alloc.
std::unique_ptr<CUserAndHardwareService> MakeFlowClient();

// An endpoint that replaces the configured one; empty (the default): none. Set through
// code only, for tests and tools. It does not lift a failed configuration. Thread-safe.
void SetVerificationEndpoint(std::string url);
std::string VerificationEndpoint();
