// libFuzzer target: the token frame decoder gets arbitrary codes with arbitrary gaps
// (four bytes each: the code, then the gap in ms, both little-endian). Beyond not
// crashing, its outcome must be one a dialog can take, and must not depend on what
// came after the code that ended the frame.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "decode/token_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<TimedCode> codes;
    std::uint32_t at = 0;
    for (std::size_t i = 0; i + 4 <= size; i += 4) {
        at += static_cast<std::uint32_t>(data[i + 2] | data[i + 3] << 8);
        codes.push_back({static_cast<IrScanCode>(data[i] | data[i + 1] << 8), at});
    }
    const TokenFrameOutcome out = DecodeTokenFrame(codes);
    if (out.result < TOKEN_OK || out.result > TOKEN_BAD_LENGTH || out.length > codes.size())
        __builtin_trap();
    if (out.result == TOKEN_OK) {
        if (out.digits.size() != kFrameChars || out.length != 1 + kTokenCodes)
            __builtin_trap();
        for (char c : out.digits) {
            if (c < '0' || c > '?')
                __builtin_trap();
        }
    } else if (!out.digits.empty()) {
        __builtin_trap();
    }
    // The frame and the one code that may end it decide it.
    const std::size_t decided = out.length < codes.size() ? out.length + 1 : codes.size();
    const TokenFrameOutcome again =
        DecodeTokenFrame(std::span<const TimedCode>(codes.data(), decided));
    if (again.result != out.result || again.length != out.length || again.digits != out.digits)
        __builtin_trap();
    const TokenDigits split = SplitTokenFrame(out.digits.c_str());
    if (split.serial.size() > kSerialChars || split.password.size() > kPasswordChars)
        __builtin_trap();
    return 0;
}
