#include "service/token_verification.h"

#include <memory>
#include <mutex>
#include <new>
#include <optional>

#include "platform/trace.h"
#include "receiver/running.h"
#include "service/http_transport.h"
#include "service/status.h"

namespace {

std::mutex g_endpointMutex;
std::string g_endpoint;

// UTF-8 to NUL-terminated UTF-16; a malformed sequence becomes U+FFFD.
std::u16string Widen(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        char32_t cp = 0xFFFD;
        std::size_t len = 1;
        if (b < 0x80) {
            cp = b;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4;
        }
        if (len > 1) {
            char32_t v = b & (0x7Fu >> len);
            bool ok = i + len <= s.size();
            for (std::size_t k = 1; ok && k < len; ++k) {
                const auto c = static_cast<unsigned char>(s[i + k]);
                if ((c & 0xC0) != 0x80) {
                    ok = false;
                } else {
                    v = (v << 6) | (c & 0x3Fu);
                }
            }
            static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
            if (!ok || v < kMin[len] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) {
                len = 1;
            } else {
                cp = v;
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return out;
}

void CancelClient(void* context) {
    static_cast<CUserAndHardwareService*>(context)->Cancel();
}

// Keeps the client cancellable by StopRunning() for exactly its call. RemoveRunWaker
// waits for a StopRunning() in progress, so the client outlives every Cancel().
class CancelOnStop {
public:
    explicit CancelOnStop(CUserAndHardwareService& client)
        : m_id(AddRunWaker(&CancelClient, &client)) {
        // A stop that came before the waker was in place is not missed.
        if (!g_bRunning.load(std::memory_order_acquire))
            client.Cancel();
    }
    ~CancelOnStop() { RemoveRunWaker(m_id); }
    CancelOnStop(const CancelOnStop&) = delete;
    CancelOnStop& operator=(const CancelOnStop&) = delete;

private:
    int m_id;
};

}  // namespace

const char* VerifyText(VerifyOutcome outcome) {
    switch (outcome) {
        case VerifyOutcome::Passed:
            return "令匙验证通过";
        case VerifyOutcome::Bound:
            return "令匙已经被绑定，拒绝验证";
        case VerifyOutcome::NotPassed:
            return "令匙验证不通过，请尝试令匙校准";
        case VerifyOutcome::NetworkFailure:
            return "网络不通或服务器有问题，令匙验证不成功";
        case VerifyOutcome::Exception:
            return "网络通信异常";
    }
    return "";
}

VerifyOutcome ClassifyVerifyResult(std::int32_t status, std::int32_t result) {
    if (status != S_OK)
        return VerifyOutcome::NetworkFailure;
    if (result == 0)
        return VerifyOutcome::Passed;
    if (result == RESULT_TOKEN_BOUND)
        return VerifyOutcome::Bound;
    return VerifyOutcome::NotPassed;
}

VerifyOutcome RunTokenVerification(std::string_view serial, std::string_view password) {
    // The whole exchange is guarded, construction included: an exception must never
    // leave the dispatcher thread, which would end the program.
    try {
        const std::string endpoint = VerificationEndpoint();
        std::optional<CUserAndHardwareService> client;
        if (endpoint.empty()) {
            client.emplace();
        } else {
            client.emplace(endpoint);
        }
        const std::u16string ekeysn = Widen(serial);
        const std::u16string ekeydp = Widen(password);
        std::int32_t result = 0;
        std::int32_t status;
        {
            CancelOnStop cancel(*client);
            status = client->ReviseEkey(ekeysn.c_str(), ekeydp.c_str(), ekeydp.c_str(), &result);
        }
        if (status != S_OK) {
            Trace("[KEYWARDEN] ReviseEkey failed: 0x%08X %s", static_cast<unsigned>(status),
                  client->LastError().c_str());
        }
        return ClassifyVerifyResult(status, result);
    } catch (const std::exception& e) {
        Trace("[KEYWARDEN] ReviseEkey threw: %s", e.what());
    } catch (...) {
        Trace("[KEYWARDEN] ReviseEkey threw");
    }
    return VerifyOutcome::Exception;
}

void SetVerificationEndpoint(std::string url) {
    std::lock_guard lock(g_endpointMutex);
    g_endpoint = std::move(url);
}

std::string VerificationEndpoint() {
    std::lock_guard lock(g_endpointMutex);
    return g_endpoint;
}
