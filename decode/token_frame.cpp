#include "decode/token_frame.h"

#include <algorithm>
#include <cstring>

#include "receiver/hid_manager.h"

namespace {

constexpr IrScanCode kToggleBit = 0x8000;

char NibbleChar(unsigned nibble) {
    return static_cast<char>(0x30 + (nibble & 0x0F));
}

}  // namespace

TokenFrameDecoder::TokenFrameDecoder(IrScanCode tokenKey)
    : m_previousToggle(tokenKey & kToggleBit) {
    m_digits.reserve(kFrameChars);
}

void TokenFrameDecoder::End(int result) {
    m_open = false;
    m_result = result;
    if (result != TOKEN_OK)
        m_digits.clear();
}

void TokenFrameDecoder::TimeOut() {
    if (m_open)
        End(TOKEN_TIMEOUT);
}

void TokenFrameDecoder::Take(IrScanCode code) {
    if (!m_open)
        return;
    if (!HidManager::IsTokenCode(code)) {
        End(TOKEN_INTERRUPTED);
        return;
    }
    const IrScanCode toggle = code & kToggleBit;
    if (toggle == m_previousToggle) {
        End(TOKEN_ILLEGAL);
        return;
    }
    m_previousToggle = toggle;

    const unsigned data = code & 0xFFu;
    const int i = m_index++;
    if (i == 0) {
        if (data != kTokenLength) {
            End(TOKEN_BAD_LENGTH);
            return;
        }
    } else if ((i >= 1 && i <= 4) || (i >= 9 && i <= 12)) {
        m_digits += NibbleChar(data >> 4);
        m_digits += NibbleChar(data);
    } else if (i == 5) {
        m_digits += NibbleChar(data >> 4);
    }
    // Codes 6 to 8 carry nothing; they are still checked above.
    if (m_index == kTokenCodes)
        End(TOKEN_OK);
}

TokenFrameOutcome DecodeTokenFrame(std::span<const TimedCode> codes) {
    TokenFrameOutcome outcome;
    if (codes.empty())
        return outcome;
    TokenFrameDecoder frame(codes[0].code);
    std::uint32_t previousAt = codes[0].atMs;
    std::size_t next = 1;
    while (frame.Open()) {
        if (next == codes.size()) {
            frame.TimeOut();
            break;
        }
        const TimedCode& c = codes[next];
        const std::uint32_t at = std::max(c.atMs, previousAt);
        if (at - previousAt > kCodeGapMs) {
            frame.TimeOut();
            break;
        }
        previousAt = at;
        frame.Take(c.code);
        // A code that failed the frame is not part of it.
        if (frame.Open() || frame.Result() == TOKEN_OK)
            ++next;
    }
    outcome.result = frame.Result();
    outcome.digits = frame.Digits();
    outcome.length = next;
    return outcome;
}

TokenDigits SplitTokenFrame(const char* digits) {
    const std::string frame(digits, strnlen(digits, kFrameChars));
    TokenDigits split;
    split.serial = frame.substr(0, kSerialChars);
    split.password =
        frame.size() > kPasswordChars ? frame.substr(frame.size() - kPasswordChars) : frame;
    return split;
}
