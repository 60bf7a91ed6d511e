#pragma once

// The texts both front ends show for what the receiver and decoding layers report:
// the status line of each receiver and the outcome of a token input (UTF-8), and the
// split of a token frame into serial number and dynamic password.

#include <string>
#include <string_view>

// Status lines for RECEIVER_READING, RECEIVER_WAITING and RECEIVER_ENDED; "" for any
// other code.
const char* IrStatusText(int status);
const char* GameStatusText(int status);
// "令匙输入成功" and the failures, by TokenResult; "" for any other code.
const char* TokenResultText(int result);

inline constexpr std::size_t kSerialChars = 9;
inline constexpr std::size_t kPasswordChars = 8;
inline constexpr std::size_t kFrameChars = kSerialChars + kPasswordChars;

struct TokenDigits {
    std::string serial;    // the first 9 characters
    std::string password;  // the last 8
};

// Splits a frame's characters, read up to the first NUL or 17 characters; a shorter
// string never makes either part read past its end.
TokenDigits SplitTokenFrame(const char* digits);
