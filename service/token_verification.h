#pragma once

// Online verification of one token frame: ReviseEkey with the serial number and the
// dynamic password given as both passwords, and the verdict as the text of the main
// dialog's verification line. Qt-free; runs on the IR dispatcher thread.

#include <cstdint>
#include <string>
#include <string_view>

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
// (NetworkFailure). `serial` and `password` are UTF-8.
VerifyOutcome RunTokenVerification(std::string_view serial, std::string_view password);

// The endpoint verifications use; empty (the default) means the client's built-in
// one. Set through code only, for tests and tools. Thread-safe.
void SetVerificationEndpoint(std::string url);
std::string VerificationEndpoint();
