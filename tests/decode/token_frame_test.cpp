#include "decode/token_frame.h"

#include <gtest/gtest.h>

#include <array>
#include <string_view>
#include <vector>

namespace {

constexpr IrScanCode kToggle = 0x8000;
constexpr IrScanCode kTokenKey = 0x7F97;

std::uint8_t Nibble(char c) {
    return static_cast<std::uint8_t>(c - '0');
}

// One token press: the token key, then 13 token codes with alternating toggle bits,
// `gap` ms apart. `unused` fills codes 6 to 8.
std::vector<TimedCode> Frame(std::string_view serial, std::string_view password,
                             std::uint32_t gap = 20, bool toggle = false,
                             std::array<std::uint8_t, 3> unused = {}) {
    std::array<std::uint8_t, 13> data{};
    data[0] = 12;
    for (std::size_t i = 0; i < 4; ++i) {
        data[1 + i] =
            static_cast<std::uint8_t>(Nibble(serial[2 * i]) << 4 | Nibble(serial[2 * i + 1]));
        data[9 + i] =
            static_cast<std::uint8_t>(Nibble(password[2 * i]) << 4 | Nibble(password[2 * i + 1]));
    }
    data[5] = static_cast<std::uint8_t>(Nibble(serial[8]) << 4);
    for (std::size_t i = 0; i < 3; ++i)
        data[6 + i] = unused[i];

    std::uint32_t at = 1000;
    std::vector<TimedCode> codes{{static_cast<IrScanCode>(kTokenKey | (toggle ? kToggle : 0)), at}};
    for (auto d : data) {
        toggle = !toggle;
        at += gap;
        codes.push_back({static_cast<IrScanCode>(0x7F00 | d | (toggle ? kToggle : 0)), at});
    }
    return codes;
}

void SetData(TimedCode& c, std::uint8_t data) {
    c.code = static_cast<IrScanCode>((c.code & 0xFF00) | data);
}

TEST(TokenFrame, WholeFrameGivesItsDigits) {
    TokenFrameOutcome out = DecodeTokenFrame(Frame("123456789", "87654321"));
    EXPECT_EQ(out.result, TOKEN_OK);
    EXPECT_EQ(out.digits, "12345678987654321");
    EXPECT_EQ(out.length, 14u);

    // Codes 6 to 8 never show; nibbles above 9 pass as ':' to '?'; code 5 keeps its high
    // nibble only. The toggle starts set; codes after the frame are not its own.
    auto codes = Frame("000000009", "00000000", 20, true, {0x12, 0x34, 0x56});
    SetData(codes[2], 0xA1);
    SetData(codes[6], 0x9F);
    SetData(codes[13], 0xFC);
    codes.push_back({0x2601, 1300});
    out = DecodeTokenFrame(codes);
    EXPECT_EQ(out.result, TOKEN_OK);
    EXPECT_EQ(out.digits, ":10000009000000?<");
    EXPECT_EQ(out.length, 14u);
}

TEST(TokenFrame, AFailureEndsTheFrameBeforeTheCodeThatFailedIt) {
    struct Case {
        const char* what;
        std::size_t at;  // the code replaced
        IrScanCode code;
        int result;
    };
    const auto frame = Frame("123456789", "87654321");
    const Case cases[] = {
        {"an ordinary key", 1, 0x2601, TOKEN_INTERRUPTED},
        {"an ordinary key late in the frame", 13, 0x2601, TOKEN_INTERRUPTED},
        {"the token key's toggle again", 1, 0x7F0C, TOKEN_ILLEGAL},
        {"a held token key", 1, kTokenKey, TOKEN_ILLEGAL},
        {"a repeated toggle in the digits", 7, frame[6].code, TOKEN_ILLEGAL},
        {"a wrong length", 1, 0xFF0B, TOKEN_BAD_LENGTH},
        // The toggle is checked before the length.
        {"a wrong length with the wrong toggle", 1, 0x7F0B, TOKEN_ILLEGAL},
    };
    for (const Case& c : cases) {
        auto codes = frame;
        codes[c.at].code = c.code;
        const TokenFrameOutcome out = DecodeTokenFrame(codes);
        EXPECT_EQ(out.result, c.result) << c.what;
        EXPECT_EQ(out.length, c.at) << c.what;
        EXPECT_EQ(out.digits, "") << c.what;
    }
}

TEST(TokenFrame, EachCodeHas251MsFromTheOneBefore) {
    EXPECT_EQ(DecodeTokenFrame(Frame("123456789", "87654321", 251)).result, TOKEN_OK);

    auto codes = Frame("123456789", "87654321", 251);
    codes[9].atMs += 1;  // one late code, and the rest as late after it
    for (std::size_t i = 10; i < codes.size(); ++i)
        codes[i].atMs += 1;
    TokenFrameOutcome out = DecodeTokenFrame(codes);
    EXPECT_EQ(out.result, TOKEN_TIMEOUT);
    EXPECT_EQ(out.length, 9u) << "the late code is not the frame's";
    EXPECT_EQ(out.digits, "");

    // The gap counts from the code before, not from the token key: a frame may take
    // longer than 251 ms in all. Codes that come at once, or with times that go
    // backwards, are in time.
    codes = Frame("123456789", "87654321", 100);
    codes[4].atMs = codes[3].atMs;
    codes[5].atMs = codes[3].atMs - 500;
    codes[6].atMs = codes[3].atMs + 251;  // the next one comes 149 ms after it
    out = DecodeTokenFrame(codes);
    EXPECT_EQ(out.result, TOKEN_OK);

    // Nothing more comes: a time-out after what came.
    codes = Frame("123456789", "87654321");
    codes.resize(5);
    out = DecodeTokenFrame(codes);
    EXPECT_EQ(out.result, TOKEN_TIMEOUT);
    EXPECT_EQ(out.length, 5u);
    EXPECT_EQ(DecodeTokenFrame(std::span<const TimedCode>(codes.data(), 1)).length, 1u);
    EXPECT_EQ(DecodeTokenFrame({}).result, TOKEN_TIMEOUT);
    EXPECT_EQ(DecodeTokenFrame({}).length, 0u);
}

TEST(TokenFrame, TheDecoderIgnoresWhatComesAfterItClosed) {
    const auto codes = Frame("123456789", "87654321");
    TokenFrameDecoder ok(codes[0].code);
    for (std::size_t i = 1; i < codes.size(); ++i) {
        EXPECT_TRUE(ok.Open());
        ok.Take(codes[i].code);
    }
    EXPECT_FALSE(ok.Open());
    ok.Take(0x2601);
    ok.TimeOut();
    EXPECT_EQ(ok.Result(), TOKEN_OK);
    EXPECT_EQ(ok.Digits(), "12345678987654321");

    TokenFrameDecoder failed(codes[0].code);
    failed.Take(codes[1].code);
    failed.Take(codes[2].code);
    failed.TimeOut();
    failed.Take(codes[3].code);
    EXPECT_FALSE(failed.Open());
    EXPECT_EQ(failed.Result(), TOKEN_TIMEOUT);
    EXPECT_EQ(failed.Digits(), "") << "no half frame";
}

TEST(TokenFrame, SplitIntoSerialAndPassword) {
    struct Case {
        const char* digits;
        const char* serial;
        const char* password;
    };
    const Case cases[] = {
        {"12345678987654321", "123456789", "87654321"},
        {"12345678987654321999", "123456789", "87654321"},  // read up to 17 only
        {"1234567898", "123456789", "34567898"},            // the last 8 of what there is
        {"12345", "12345", "12345"},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        const TokenDigits split = SplitTokenFrame(c.digits);
        EXPECT_EQ(split.serial, c.serial) << c.digits;
        EXPECT_EQ(split.password, c.password) << c.digits;
    }
    // A buffer without a NUL is read no further than 17 characters.
    const char unterminated[kFrameChars] = {'1', '2', '3', '4', '5', '6', '7', '8', '9',
                                            '8', '7', '6', '5', '4', '3', '2', '1'};
    EXPECT_EQ(SplitTokenFrame(unterminated).password, "87654321");
}

}  // namespace
