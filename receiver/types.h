#pragma once

#include <cstdint>

using KeyId = std::uint16_t;
using IrScanCode = std::uint16_t;
using GameScanCode = std::uint32_t;

constexpr KeyId TOKEN_KEY_ID = 244;
constexpr KeyId FIRST_GAME_KEY_ID = 0x1001;
constexpr KeyId LAST_GAME_KEY_ID = 0x100C;

// Outcome of one token input, as handed to the dialog.
enum TokenResult : int {
    TOKEN_OK = 0,
    TOKEN_TIMEOUT = 1,
    TOKEN_INTERRUPTED = 2,
    TOKEN_ILLEGAL = 3,
    TOKEN_BAD_LENGTH = 4,
};

// Receiver status codes reported to the dialog.
enum ReceiverStatus : int {
    RECEIVER_READING = 0,
    RECEIVER_WAITING = 1,
    RECEIVER_ENDED = 2,
};
