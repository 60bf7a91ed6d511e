#include "service/token_taken.h"

#include "decode/token_frame.h"
#include "service/token_frame_box.h"

TakenToken TakeTokenFrame(const char* digits, const TokenTakenSteps& steps) {
    TokenDigits split = SplitTokenFrame(digits);
    TakenToken token{std::move(split.serial), std::move(split.password), std::nullopt};
    if (steps.fixedSerial)
        token.serialsAgree = token.serial == *steps.fixedSerial;
    if (steps.show)
        steps.show(token);
    g_lastToken.Put(token.serial, token.password);
    // The frames of a running calibration are its own.
    if (!steps.verify || g_bCalibrating.load(std::memory_order_acquire))
        return token;
    TokenCheck check{VerifyOutcome::NetworkFailure, std::nullopt};
    check.outcome = RunTokenVerification(token.serial, token.password, &check.serviceResult);
    if (steps.verified)
        steps.verified(token, check);
    return token;
}
