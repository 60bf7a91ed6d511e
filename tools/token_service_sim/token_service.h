#pragma once

// The simulator's service object: the token table, its state file and the clock. One
// ReviseEkey at a time; a change is answered only after it is on disk.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "tools/token_service_sim/soap_messages.h"
#include "tools/token_service_sim/token_model.h"

namespace quillon::tokensim {

class TokenService {
public:
    TokenService(std::string statePath, TokenTable tokens, const TimeSource& clock);

    struct Answer {
        std::optional<std::int32_t> result;  // set when the call was answered
        std::string error;                   // why not: the state could not be saved
        std::int64_t matchedStep = 0;
    };
    // Thread-safe. The token's new state is stored before a result 0 is given; when that
    // fails, nothing changes in memory either and the answer carries the error.
    Answer ReviseEkey(const ReviseEkeyRequest& request);

    TokenTable Tokens() const;

private:
    const std::string m_statePath;
    const TimeSource& m_clock;
    mutable std::mutex m_mutex;
    TokenTable m_tokens;  // guarded by m_mutex
};

}  // namespace quillon::tokensim
