#pragma once

// What a front end does when the decoder hands it a whole token frame
// (IMainDialog::OnTokenTaken, on the IR dispatcher thread): split the frame, compare
// its serial with the fixed serial, show it, hand it to the calibration and, unless a
// calibration runs, verify it with the token service on this thread. Both front ends
// run this one step and only render what it reports.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "service/token_verification.h"

struct TakenToken {
    std::string serial;    // 9 characters
    std::string password;  // 8 characters
    // With a fixed serial to compare with: whether the frame's serial is it.
    std::optional<bool> serialsAgree;
};

struct TokenCheck {
    VerifyOutcome outcome;
    std::optional<std::int32_t> serviceResult;  // none when no reply came
};

struct TokenTakenSteps {
    // The fixed serial the comparison uses; none: no comparison.
    std::optional<std::string> fixedSerial;
    // Verify the frame (when no calibration runs).
    bool verify = true;
    // The frame, before it goes to the calibration.
    std::function<void(const TakenToken&)> show;
    // The verification's outcome, when it ran.
    std::function<void(const TakenToken&, const TokenCheck&)> verified;
};

// `digits` as SplitTokenFrame reads them. Returns the frame as shown.
TakenToken TakeTokenFrame(const char* digits, const TokenTakenSteps& steps);
