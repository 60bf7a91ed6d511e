#pragma once

// The token key's frame, decoded without threads or a clock: the token key's own code,
// then 13 token codes, each within kCodeGapMs of the one before and each with the
// toggle bit the one before did not have. Code 0 gives the length (12); codes 1 to 4
// and 9 to 12 carry two digits each, code 5 one (its high nibble), codes 6 to 8
// nothing. A digit is a nibble shown as 0x30 + nibble, so 10 to 15 pass as ':' to '?'.
//
// The dispatcher feeds the codes one by one as it takes them from the queue, which
// measures the gaps; DecodeTokenFrame runs the same steps over codes whose arrival
// times are known.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "receiver/types.h"

inline constexpr int kTokenCodes = 13;
inline constexpr std::uint8_t kTokenLength = 12;
// The longest wait for each code of a frame.
inline constexpr std::uint32_t kCodeGapMs = 251;

inline constexpr std::size_t kSerialChars = 9;
inline constexpr std::size_t kPasswordChars = 8;
inline constexpr std::size_t kFrameChars = kSerialChars + kPasswordChars;

class TokenFrameDecoder {
public:
    // `tokenKey` is the code that started the frame: its toggle bit is the first one
    // the next code must not repeat.
    explicit TokenFrameDecoder(IrScanCode tokenKey);

    // True until the frame has ended, by its last code or by a failure.
    bool Open() const { return m_open; }
    // The next code, while open. A code that fails the frame ends it without being
    // part of it: the caller handles it next as a code of its own.
    void Take(IrScanCode code);
    // No code came within kCodeGapMs, while open.
    void TimeOut();

    // TokenResult; meaningful once closed.
    int Result() const { return m_result; }
    // The 17 characters after TOKEN_OK; empty otherwise.
    const std::string& Digits() const { return m_digits; }

private:
    void End(int result);

    bool m_open = true;
    int m_result = TOKEN_TIMEOUT;
    IrScanCode m_previousToggle;
    int m_index = 0;
    std::string m_digits;
};

struct TimedCode {
    IrScanCode code;
    std::uint32_t atMs;  // arrival time
};

struct TokenFrameOutcome {
    int result = TOKEN_TIMEOUT;  // TokenResult
    std::string digits;          // the 17 characters after TOKEN_OK; empty otherwise
    // Codes of the input that belong to the frame, the token key's included. Those from
    // here on (the code that failed the frame, or one that came too late) are not.
    std::size_t length = 0;
};

// `codes[0]` is the token key. Each code is waited for from the time the one before
// arrived; one that arrives more than kCodeGapMs later, or the end of the input, is a
// time-out. Times that go backwards count as arriving with the code before. An empty
// input is a time-out of length 0.
TokenFrameOutcome DecodeTokenFrame(std::span<const TimedCode> codes);

struct TokenDigits {
    std::string serial;    // the first 9 characters
    std::string password;  // the last 8
};

// Splits a frame's characters, read up to the first NUL or 17 characters; a shorter
// string never makes either part read past its end.
TokenDigits SplitTokenFrame(const char* digits);
