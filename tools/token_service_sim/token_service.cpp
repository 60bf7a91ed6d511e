#include "tools/token_service_sim/token_service.h"

#include "tools/token_service_sim/state_file.h"

namespace quillon::tokensim {

TokenService::TokenService(std::string statePath, TokenTable tokens, const TimeSource& clock)
    : m_statePath(std::move(statePath)), m_clock(clock), m_tokens(std::move(tokens)) {}

TokenService::Answer TokenService::ReviseEkey(const ReviseEkeyRequest& request) {
    auto view = [](const std::optional<std::string>& s) -> std::optional<std::string_view> {
        if (!s) {
            return std::nullopt;
        }
        return std::string_view(*s);
    };
    std::lock_guard lock(m_mutex);
    const Decision decision =
        quillon::tokensim::ReviseEkey(m_tokens, view(request.ekeysn), view(request.ekeydp1),
                                      view(request.ekeydp2), m_clock.NowUnixSeconds());
    Answer answer;
    answer.matchedStep = decision.matchedStep;
    if (decision.result == RESULT_OK) {
        TokenTable updated = m_tokens;
        updated[*request.ekeysn] = decision.token;
        std::string error;
        if (!SaveStateFile(m_statePath, updated, error)) {
            answer.error = "the token state was not saved: " + error;
            return answer;
        }
        m_tokens = std::move(updated);
    }
    answer.result = decision.result;
    return answer;
}

TokenTable TokenService::Tokens() const {
    std::lock_guard lock(m_mutex);
    return m_tokens;
}

}  // namespace quillon::tokensim
