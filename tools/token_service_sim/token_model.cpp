#include "tools/token_service_sim/token_model.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <array>
#include <charconv>
#include <chrono>

namespace quillon::tokensim {

std::int64_t SystemTimeSource::NowUnixSeconds() const {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t StepAt(std::int64_t unixSeconds) {
    std::int64_t step = unixSeconds / kStepSeconds;
    if (unixSeconds % kStepSeconds < 0) {
        --step;
    }
    return step;
}

std::string Hotp(std::span<const std::uint8_t> secret, std::uint64_t counter, int digits) {
    if (digits < 1 || digits > 9) {
        return {};
    }
    std::array<unsigned char, 8> message{};
    for (std::size_t i = 0; i < message.size(); ++i) {
        message[message.size() - 1 - i] = static_cast<unsigned char>(counter >> (8 * i));
    }
    std::array<unsigned char, EVP_MAX_MD_SIZE> mac{};
    unsigned int macLength = 0;
    // An empty key is legal for HMAC, but OpenSSL wants a non-null pointer for it.
    static const unsigned char kNoKey = 0;
    const unsigned char* key = secret.empty() ? &kNoKey : secret.data();
    if (HMAC(EVP_sha1(), key, static_cast<int>(secret.size()), message.data(), message.size(),
             mac.data(), &macLength) == nullptr ||
        macLength < 20) {
        return {};
    }
    const std::size_t offset = mac[macLength - 1] & 0x0Fu;
    const std::uint32_t binary = (static_cast<std::uint32_t>(mac[offset] & 0x7Fu) << 24) |
                                 (static_cast<std::uint32_t>(mac[offset + 1]) << 16) |
                                 (static_cast<std::uint32_t>(mac[offset + 2]) << 8) |
                                 static_cast<std::uint32_t>(mac[offset + 3]);
    std::uint32_t modulus = 1;
    for (int i = 0; i < digits; ++i) {
        modulus *= 10;
    }
    std::string text = std::to_string(binary % modulus);
    text.insert(0, static_cast<std::size_t>(digits) - text.size(), '0');
    return text;
}

std::string PasswordAtStep(std::span<const std::uint8_t> secret, std::int64_t step) {
    if (step < 0) {
        return {};
    }
    return Hotp(secret, static_cast<std::uint64_t>(step), kPasswordDigits);
}

std::string PasswordAt(std::span<const std::uint8_t> secret, std::int64_t unixSeconds) {
    return PasswordAtStep(secret, StepAt(unixSeconds));
}

std::optional<std::vector<std::uint8_t>> DecodeHex(std::string_view hex) {
    if (hex.empty() || hex.size() % 2 != 0) {
        return std::nullopt;
    }
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    };
    std::vector<std::uint8_t> bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = nibble(hex[i]);
        const int low = nibble(hex[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return bytes;
}

std::string EncodeHex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

bool IsDigits(std::string_view text, std::size_t length) {
    if (text.size() != length) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

Decision Verify(const Token& token, std::string_view password, std::int64_t nowUnixSeconds) {
    Decision decision{RESULT_WRONG_PASSWORD, token, 0};
    const std::int64_t expected = StepAt(nowUnixSeconds) + token.drift;
    for (std::int64_t step = expected - kVerifyWindow; step <= expected + kVerifyWindow; ++step) {
        if (PasswordAtStep(token.secret, step) != password) {
            continue;
        }
        if (token.lastAccepted && step <= *token.lastAccepted) {
            // Keep looking: a later step in the window may give the same password.
            decision.result = RESULT_REPLAYED_PASSWORD;
            continue;
        }
        decision.result = RESULT_OK;
        decision.token.lastAccepted = step;
        decision.matchedStep = step;
        return decision;
    }
    return decision;
}

Decision Calibrate(const Token& token, std::string_view dp1, std::string_view dp2,
                   std::int64_t nowUnixSeconds) {
    Decision decision{RESULT_CALIBRATION_FAILED, token, 0};
    const std::int64_t serverStep = StepAt(nowUnixSeconds);
    // Passwords of the whole window once, so the search is one pass over a table.
    const std::int64_t first = serverStep - kCalibrationWindow;
    const std::int64_t last = serverStep + kCalibrationWindow + kMaxCalibrationGap;
    std::vector<std::string> passwords;
    passwords.reserve(static_cast<std::size_t>(last - first + 1));
    for (std::int64_t step = first; step <= last; ++step) {
        passwords.push_back(PasswordAtStep(token.secret, step));
    }
    // Nearest to the server's step first, so a chance second match further out loses.
    for (std::int64_t distance = 0; distance <= kCalibrationWindow; ++distance) {
        for (std::int64_t sign : {1, -1}) {
            if (distance == 0 && sign < 0) {
                continue;
            }
            const std::int64_t s = serverStep + sign * distance;
            if (passwords[static_cast<std::size_t>(s - first)] != dp1) {
                continue;
            }
            for (std::int64_t k = kMinCalibrationGap; k <= kMaxCalibrationGap; ++k) {
                if (passwords[static_cast<std::size_t>(s + k - first)] != dp2) {
                    continue;
                }
                if (token.lastAccepted && s + k <= *token.lastAccepted) {
                    decision.result = RESULT_REPLAYED_PASSWORD;
                    continue;
                }
                decision.result = RESULT_OK;
                decision.token.drift = s + k - serverStep;
                decision.token.lastAccepted = s + k;
                decision.matchedStep = s + k;
                return decision;
            }
        }
    }
    return decision;
}

Decision ReviseEkey(const TokenTable& tokens, std::optional<std::string_view> ekeysn,
                    std::optional<std::string_view> ekeydp1,
                    std::optional<std::string_view> ekeydp2, std::int64_t nowUnixSeconds) {
    if (!ekeysn || !IsDigits(*ekeysn, kSerialDigits)) {
        return {RESULT_BAD_INPUT, {}, 0};
    }
    const auto it = tokens.find(*ekeysn);
    if (it == tokens.end()) {
        return {RESULT_UNKNOWN_SERIAL, {}, 0};
    }
    const Token& token = it->second;
    if (token.bound) {
        return {RESULT_TOKEN_BOUND, token, 0};
    }
    if (!ekeydp1 || !ekeydp2 || !IsDigits(*ekeydp1, kPasswordDigits) ||
        !IsDigits(*ekeydp2, kPasswordDigits)) {
        return {RESULT_BAD_INPUT, token, 0};
    }
    if (*ekeydp1 == *ekeydp2) {
        return Verify(token, *ekeydp1, nowUnixSeconds);
    }
    return Calibrate(token, *ekeydp1, *ekeydp2, nowUnixSeconds);
}

std::string FormatTokenTable(const TokenTable& tokens) {
    std::string text;
    text.append(kStateHeader).append("\n");
    text.append("# token SERIAL SECRET_HEX DRIFT_STEPS LAST_ACCEPTED_STEP|- bound|free\n");
    for (const auto& [serial, token] : tokens) {
        text.append("token ").append(serial).append(" ").append(EncodeHex(token.secret));
        text.append(" ").append(std::to_string(token.drift)).append(" ");
        text.append(token.lastAccepted ? std::to_string(*token.lastAccepted) : "-");
        text.append(token.bound ? " bound\n" : " free\n");
    }
    return text;
}

namespace {

std::optional<std::int64_t> ParseInt64(std::string_view text) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc{} || ptr != end) {
        return std::nullopt;
    }
    return value;
}

std::vector<std::string_view> SplitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) {
            ++pos;
        }
        const std::size_t start = pos;
        while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t') {
            ++pos;
        }
        if (pos > start) {
            fields.push_back(line.substr(start, pos - start));
        }
    }
    return fields;
}

}  // namespace

std::optional<TokenTable> ParseTokenTable(std::string_view text, ParseError& error) {
    TokenTable tokens;
    bool headerSeen = false;
    std::size_t lineNumber = 0;
    auto fail = [&](std::string message) -> std::optional<TokenTable> {
        error = {lineNumber, std::move(message)};
        return std::nullopt;
    };
    while (!text.empty()) {
        ++lineNumber;
        const std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        const auto fields = SplitFields(line);
        if (fields.empty() || fields[0].front() == '#') {
            continue;
        }
        if (!headerSeen) {
            if (line != kStateHeader) {
                return fail("expected the header line \"" + std::string(kStateHeader) + "\"");
            }
            headerSeen = true;
            continue;
        }
        if (fields[0] != "token" || fields.size() != 6) {
            return fail("expected \"token SERIAL SECRET_HEX DRIFT LAST|- bound|free\"");
        }
        const std::string_view serial = fields[1];
        if (!IsDigits(serial, kSerialDigits)) {
            return fail("serial number \"" + std::string(serial) + "\" is not 9 digits");
        }
        if (tokens.contains(serial)) {
            return fail("serial number " + std::string(serial) + " appears twice");
        }
        Token token;
        auto secret = DecodeHex(fields[2]);
        if (!secret) {
            return fail("secret of " + std::string(serial) + " is not hexadecimal bytes");
        }
        token.secret = std::move(*secret);
        const auto drift = ParseInt64(fields[3]);
        // Drift beyond the calibration window could never have been stored by us.
        if (!drift || *drift < -kCalibrationWindow - kMaxCalibrationGap ||
            *drift > kCalibrationWindow + kMaxCalibrationGap) {
            return fail("drift of " + std::string(serial) + " is not a step count within " +
                        std::to_string(kCalibrationWindow + kMaxCalibrationGap));
        }
        token.drift = *drift;
        if (fields[4] != "-") {
            const auto last = ParseInt64(fields[4]);
            if (!last || *last < 0) {
                return fail("last accepted step of " + std::string(serial) +
                            " is neither \"-\" nor a step number");
            }
            token.lastAccepted = *last;
        }
        if (fields[5] == "bound") {
            token.bound = true;
        } else if (fields[5] != "free") {
            return fail("state of " + std::string(serial) + " is neither \"bound\" nor \"free\"");
        }
        tokens.emplace(std::string(serial), std::move(token));
    }
    if (!headerSeen) {
        lineNumber = 0;
        return fail("empty: no header line \"" + std::string(kStateHeader) + "\"");
    }
    return tokens;
}

TokenTable DemoTokenTable() {
    TokenTable tokens;
    Token token;
    token.secret = *DecodeHex(kDemoSecretHex);
    tokens.emplace(std::string(kDemoSerial), std::move(token));
    return tokens;
}

}  // namespace quillon::tokensim
