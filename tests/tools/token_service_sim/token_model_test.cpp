#include "tools/token_service_sim/token_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon::tokensim {
namespace {

// RFC 6238 appendix B, SHA-1 column: the shared seed is the ASCII "12345678901234567890".
TEST(Totp, MatchesTheRfc6238Sha1Vectors) {
    const auto secret = *DecodeHex(kDemoSecretHex);
    const struct {
        std::int64_t time;
        const char* password;
    } vectors[] = {
        {59, "94287082"},         {1111111109, "07081804"}, {1111111111, "14050471"},
        {1234567890, "89005924"}, {2000000000, "69279037"}, {20000000000, "65353130"},
    };
    for (const auto& v : vectors) {
        EXPECT_EQ(PasswordAt(secret, v.time), v.password) << "T = " << v.time;
    }
    // RFC 4226 appendix D: counter 0 and 9 with six digits.
    EXPECT_EQ(Hotp(secret, 0, 6), "755224");
    EXPECT_EQ(Hotp(secret, 9, 6), "520489");
}

TEST(Totp, StepsAreFloorDivisionsAndHaveNoPasswordBefore1970) {
    EXPECT_EQ(StepAt(0), 0);
    EXPECT_EQ(StepAt(29), 0);
    EXPECT_EQ(StepAt(30), 1);
    EXPECT_EQ(StepAt(-1), -1);
    EXPECT_EQ(StepAt(-30), -1);
    EXPECT_EQ(StepAt(-31), -2);
    const auto secret = *DecodeHex(kDemoSecretHex);
    EXPECT_EQ(PasswordAtStep(secret, -1), "");
}

TEST(Hex, DecodesBothCasesAndRefusesEverythingElse) {
    EXPECT_EQ(*DecodeHex("00ffA0"), (std::vector<std::uint8_t>{0x00, 0xFF, 0xA0}));
    for (const char* bad : {"", "0", "abc", "0g", " 00", "00 "}) {
        EXPECT_FALSE(DecodeHex(bad)) << bad;
    }
    EXPECT_EQ(EncodeHex(*DecodeHex(kDemoSecretHex)), kDemoSecretHex);
}

class TokenTest : public ::testing::Test {
protected:
    // A server time in the middle of a step, far from 1970.
    static constexpr std::int64_t kNow = 1'700'000'015;
    const std::int64_t serverStep = StepAt(kNow);

    Token MakeToken(std::int64_t drift = 0) const {
        Token token;
        token.secret = *DecodeHex(kDemoSecretHex);
        token.drift = drift;
        return token;
    }
    std::string Otp(std::int64_t step) const { return PasswordAtStep(MakeToken().secret, step); }
};

TEST_F(TokenTest, VerificationAcceptsOneStepEitherSideOfTheExpectedStep) {
    for (std::int64_t drift : {0, 7, -300}) {
        const std::int64_t expected = serverStep + drift;
        for (std::int64_t offset : {-1, 0, 1}) {
            const Decision d = Verify(MakeToken(drift), Otp(expected + offset), kNow);
            EXPECT_EQ(d.result, RESULT_OK) << "drift " << drift << " offset " << offset;
            EXPECT_EQ(d.token.lastAccepted, expected + offset);
            EXPECT_EQ(d.token.drift, drift) << "verification never moves the drift";
        }
        for (std::int64_t offset : {-2, 2}) {
            EXPECT_EQ(Verify(MakeToken(drift), Otp(expected + offset), kNow).result,
                      RESULT_WRONG_PASSWORD)
                << "drift " << drift << " offset " << offset;
        }
    }
    // The token's password is right, but the server believes in another drift.
    EXPECT_EQ(Verify(MakeToken(0), Otp(serverStep + 7), kNow).result, RESULT_WRONG_PASSWORD);
}

TEST_F(TokenTest, VerificationRefusesAReplayedOrOlderPassword) {
    Token token = MakeToken();
    Decision d = Verify(token, Otp(serverStep), kNow);
    ASSERT_EQ(d.result, RESULT_OK);
    token = d.token;
    EXPECT_EQ(Verify(token, Otp(serverStep), kNow).result, RESULT_REPLAYED_PASSWORD);
    EXPECT_EQ(Verify(token, Otp(serverStep - 1), kNow).result, RESULT_REPLAYED_PASSWORD);
    EXPECT_EQ(Verify(token, Otp(serverStep + 1), kNow).result, RESULT_OK);
    // A refused replay changes nothing.
    EXPECT_EQ(Verify(token, Otp(serverStep), kNow).token, token);
}

TEST_F(TokenTest, ReviseEkeyAnswersBoundUnknownAndBadInputBeforeLookingAtPasswords) {
    TokenTable tokens = DemoTokenTable();
    const std::string pw = Otp(serverStep);
    const std::string sn(kDemoSerial);
    EXPECT_EQ(ReviseEkey(tokens, sn, pw, pw, kNow).result, RESULT_OK);
    EXPECT_EQ(ReviseEkey(tokens, "987654321", pw, pw, kNow).result, RESULT_UNKNOWN_SERIAL);
    for (auto [serial, dp1, dp2] :
         std::vector<std::tuple<std::optional<std::string_view>, std::optional<std::string_view>,
                                std::optional<std::string_view>>>{
             {std::nullopt, pw, pw},
             {"12345678", pw, pw},
             {"12345678a", pw, pw},
             {sn, std::nullopt, pw},
             {sn, pw, std::nullopt},
             {sn, "", ""},
             {sn, "1234567", "1234567"},
             {sn, "1234567x", "1234567x"},
             {sn, " 1234567", " 1234567"},
         }) {
        EXPECT_EQ(ReviseEkey(tokens, serial, dp1, dp2, kNow).result, RESULT_BAD_INPUT)
            << serial.value_or("nil") << " " << dp1.value_or("nil") << " " << dp2.value_or("nil");
    }
    tokens.begin()->second.bound = true;
    EXPECT_EQ(ReviseEkey(tokens, sn, pw, pw, kNow).result, RESULT_TOKEN_BOUND);
    EXPECT_EQ(ReviseEkey(tokens, sn, Otp(serverStep), Otp(serverStep + 1), kNow).result,
              RESULT_TOKEN_BOUND);
}

TEST_F(TokenTest, CalibrationFindsTheTokensDriftAndVerificationFollowsIt) {
    for (std::int64_t tokenDrift : {137, -950, 3}) {
        for (std::int64_t k = kMinCalibrationGap; k <= kMaxCalibrationGap; ++k) {
            // The second press happens now; the first one k steps earlier on the token.
            const std::int64_t second = serverStep + tokenDrift;
            TokenTable tokens = DemoTokenTable();
            const Decision d = ReviseEkey(tokens, kDemoSerial, Otp(second - k), Otp(second), kNow);
            ASSERT_EQ(d.result, RESULT_OK) << "drift " << tokenDrift << " k " << k;
            EXPECT_EQ(d.token.drift, tokenDrift);
            EXPECT_EQ(d.token.lastAccepted, second);
            // The next step of the token now verifies, and the calibration pair replays.
            EXPECT_EQ(Verify(d.token, Otp(second + 1), kNow).result, RESULT_OK);
            EXPECT_EQ(Calibrate(d.token, Otp(second - k), Otp(second), kNow).result,
                      RESULT_REPLAYED_PASSWORD);
        }
    }
}

TEST_F(TokenTest, CalibrationRefusesGapsOutsideOneToFourStepsAndGarbage) {
    const Token token = MakeToken();
    const std::int64_t s = serverStep + 20;
    EXPECT_EQ(Calibrate(token, Otp(s), Otp(s + 5), kNow).result, RESULT_CALIBRATION_FAILED);
    EXPECT_EQ(Calibrate(token, Otp(s), Otp(s - 1), kNow).result, RESULT_CALIBRATION_FAILED);
    EXPECT_EQ(Calibrate(token, "00000000", "11111111", kNow).result, RESULT_CALIBRATION_FAILED);
    EXPECT_EQ(Calibrate(token, Otp(s), "11111111", kNow).result, RESULT_CALIBRATION_FAILED);
    // Beyond the search window.
    const std::int64_t far = serverStep + kCalibrationWindow + 10;
    EXPECT_EQ(Calibrate(token, Otp(far), Otp(far + 1), kNow).result, RESULT_CALIBRATION_FAILED);
    // Failure leaves the token as it was.
    EXPECT_EQ(Calibrate(token, Otp(s), Otp(s + 5), kNow).token, token);
}

TEST(TokenTable, TextRoundTripKeepsEveryField) {
    TokenTable tokens = DemoTokenTable();
    Token other;
    other.secret = {0x00, 0x01, 0xFE};
    other.drift = -42;
    other.lastAccepted = 56666666;
    other.bound = true;
    tokens.emplace("000000001", other);
    ParseError error;
    const auto parsed = ParseTokenTable(FormatTokenTable(tokens), error);
    ASSERT_TRUE(parsed) << error.message;
    EXPECT_EQ(*parsed, tokens);
}

TEST(TokenTable, AcceptsCommentsBlankLinesAndCrLf) {
    ParseError error;
    const auto parsed = ParseTokenTable(
        "# state\r\n\r\nquillon-token-sim-state 1\r\n  # more\r\n"
        "token 123456789 00ff 0 - free\r\n",
        error);
    ASSERT_TRUE(parsed) << error.message;
    EXPECT_EQ(parsed->size(), 1u);
}

TEST(TokenTable, MalformedTextIsRefusedWithItsLine) {
    const std::string header = "quillon-token-sim-state 1\n";
    const struct {
        std::string text;
        std::size_t line;
    } cases[] = {
        {"", 0},
        {"# only a comment\n", 0},
        {"quillon-token-sim-state 2\n", 1},
        {"token 123456789 00 0 - free\n", 1},
        {header + "token 123456789 00 0 - free extra\n", 2},
        {header + "token 123456789 00 0 -\n", 2},
        {header + "tok 123456789 00 0 - free\n", 2},
        {header + "token 12345678 00 0 - free\n", 2},
        {header + "token 123456789 0 0 - free\n", 2},
        {header + "token 123456789 zz 0 - free\n", 2},
        {header + "token 123456789 00 x - free\n", 2},
        {header + "token 123456789 00 99999 - free\n", 2},
        {header + "token 123456789 00 0 -5 free\n", 2},
        {header + "token 123456789 00 0 12x free\n", 2},
        {header + "token 123456789 00 0 - yes\n", 2},
        {header + "token 123456789 00 0 - free\ntoken 123456789 01 0 - free\n", 3},
    };
    for (const auto& c : cases) {
        ParseError error;
        EXPECT_FALSE(ParseTokenTable(c.text, error)) << c.text;
        EXPECT_EQ(error.line, c.line) << c.text;
        EXPECT_FALSE(error.message.empty());
    }
}

}  // namespace
}  // namespace quillon::tokensim
