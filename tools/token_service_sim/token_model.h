#pragma once

// Token model of the token-service simulator, shared with the virtual remote: TOTP
// passwords (RFC 6238, HMAC-SHA1, 30-second steps, 8 digits), verification and
// calibration of a token against a server clock, and the text form of the token table.
//
// No I/O and no clock reads happen here: every function takes the time it works on, so
// tests and the virtual remote drive it with any time they like.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::tokensim {

inline constexpr std::int64_t kStepSeconds = 30;
inline constexpr int kPasswordDigits = 8;
inline constexpr std::size_t kSerialDigits = 9;
// Verification accepts the expected step and one step either side of it.
inline constexpr std::int64_t kVerifyWindow = 1;
// Calibration searches this many steps either side of the server's step.
inline constexpr std::int64_t kCalibrationWindow = 1000;
// The second calibration password lies 1 to 4 steps after the first (30 to 120 s).
inline constexpr std::int64_t kMinCalibrationGap = 1;
inline constexpr std::int64_t kMaxCalibrationGap = 4;

// ReviseEkeyResult values the simulator answers with.
enum ResultCode : std::int32_t {
    RESULT_OK = 0,
    RESULT_UNKNOWN_SERIAL = 21001,      // no token with this serial number
    RESULT_BAD_INPUT = 21002,           // serial or password missing or not all digits
    RESULT_WRONG_PASSWORD = 21003,      // no step in the window gives this password
    RESULT_REPLAYED_PASSWORD = 21004,   // matches, but not newer than the last accepted
    RESULT_CALIBRATION_FAILED = 21005,  // no step s with dp1 = OTP(s), dp2 = OTP(s + 1..4)
    RESULT_TOKEN_BOUND = 21030,         // the token is bound; the service refuses it
};

// Time source of the server; tests inject their own.
class TimeSource {
public:
    virtual ~TimeSource() = default;
    virtual std::int64_t NowUnixSeconds() const = 0;
};

class SystemTimeSource final : public TimeSource {
public:
    std::int64_t NowUnixSeconds() const override;
};

// The TOTP step of a Unix time (floor division, so times before 1970 work too).
std::int64_t StepAt(std::int64_t unixSeconds);

// RFC 4226 HOTP with dynamic truncation, zero-padded to `digits` (1..9).
std::string Hotp(std::span<const std::uint8_t> secret, std::uint64_t counter,
                 int digits = kPasswordDigits);
// The 8-digit password of a step; steps before 1970 have none and give "".
std::string PasswordAtStep(std::span<const std::uint8_t> secret, std::int64_t step);
// The 8-digit password a token shows at `unixSeconds` on its own clock.
std::string PasswordAt(std::span<const std::uint8_t> secret, std::int64_t unixSeconds);

// Hex (either case, even length, at least one byte) to bytes; nullopt otherwise.
std::optional<std::vector<std::uint8_t>> DecodeHex(std::string_view hex);
std::string EncodeHex(std::span<const std::uint8_t> bytes);

bool IsDigits(std::string_view text, std::size_t length);

struct Token {
    std::vector<std::uint8_t> secret;
    std::int64_t drift = 0;                    // token step minus server step
    std::optional<std::int64_t> lastAccepted;  // token step of the last accepted password
    bool bound = false;

    bool operator==(const Token&) const = default;
};

// Serial number (9 digits) to token.
using TokenTable = std::map<std::string, Token, std::less<>>;

// Outcome of one ReviseEkey: the result, and the token as it is to be stored when the
// result is RESULT_OK (unchanged otherwise).
struct Decision {
    std::int32_t result = RESULT_OK;
    Token token;
    std::int64_t matchedStep = 0;  // token step that was accepted (last one for calibration)
};

// Verification: `password` must equal the password of step (server step + drift) within
// kVerifyWindow and be newer than the last accepted step.
Decision Verify(const Token& token, std::string_view password, std::int64_t nowUnixSeconds);

// Calibration: finds s within kCalibrationWindow of the server step with dp1 = OTP(s) and
// dp2 = OTP(s + k), k in 1..4; dp2 is taken as the token's password right now, which
// fixes the drift. dp2 must be newer than the last accepted step.
Decision Calibrate(const Token& token, std::string_view dp1, std::string_view dp2,
                   std::int64_t nowUnixSeconds);

// The whole operation: picks verification (dp1 == dp2) or calibration, and answers
// unknown serials, bad input and bound tokens. Null strings come in as nullopt.
Decision ReviseEkey(const TokenTable& tokens, std::optional<std::string_view> ekeysn,
                    std::optional<std::string_view> ekeydp1,
                    std::optional<std::string_view> ekeydp2, std::int64_t nowUnixSeconds);

// Text form of the token table, one token a line:
//   token SERIAL SECRET_HEX DRIFT LAST_ACCEPTED|- bound|free
// after the header line kStateHeader; blank lines and lines starting with "#" are ignored.
inline constexpr std::string_view kStateHeader = "quillon-token-sim-state 1";

std::string FormatTokenTable(const TokenTable& tokens);

struct ParseError {
    std::size_t line = 0;  // 1-based; 0 for the file as a whole
    std::string message;
};
// Returns nullopt and fills `error` when the text is not a valid table.
std::optional<TokenTable> ParseTokenTable(std::string_view text, ParseError& error);

// The token a fresh state file holds: serial 123456789 with the RFC 6238 SHA-1 test
// secret "12345678901234567890".
inline constexpr std::string_view kDemoSerial = "123456789";
inline constexpr std::string_view kDemoSecretHex = "3132333435363738393031323334353637383930";
TokenTable DemoTokenTable();

}  // namespace quillon::tokensim
