#include "service/token_verification.h"

#include <memory>
#include <mutex>
#include <new>

#include "platform/process/running.h"
#include "platform/process/trace.h"
#include "platform/text/translatable.h"
#include "service/http_transport.h"
#include "service/revise_ekey_messages.h"
#include "service/status.h"

namespace {

std::mutex g_flowMutex;
std::string g_endpoint;
ServiceConfig g_config;

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
            return QUILLON_TEXT("Status", "令匙验证通过");
        case VerifyOutcome::Bound:
            return QUILLON_TEXT("Status", "令匙已经被绑定，拒绝验证");
        case VerifyOutcome::NotPassed:
            return QUILLON_TEXT("Status", "令匙验证不通过，请尝试令匙校准");
        case VerifyOutcome::NetworkFailure:
            return QUILLON_TEXT("Status", "网络不通或服务器有问题，令匙验证不成功");
        case VerifyOutcome::Exception:
            return QUILLON_TEXT("Status", "网络通信异常");
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

VerifyOutcome RunTokenVerification(std::string_view serial, std::string_view password,
                                   std::optional<std::int32_t>* serviceResult) {
    if (serviceResult != nullptr)
        serviceResult->reset();
    // The whole exchange is guarded, construction included: an exception must never
    // leave the dispatcher thread, which would end the program.
    try {
        const std::unique_ptr<CUserAndHardwareService> client = MakeFlowClient();
        const std::u16string ekeysn = Utf8ToUtf16(serial);
        const std::u16string ekeydp = Utf8ToUtf16(password);
        std::int32_t result = 0;
        std::int32_t status;
        {
            CancelOnStop cancel(*client);
            status = client->ReviseEkey(ekeysn.c_str(), ekeydp.c_str(), ekeydp.c_str(), &result);
        }
        if (status != S_OK) {
            Trace("[KEYWARDEN] ReviseEkey failed: 0x%08X %s", static_cast<unsigned>(status),
                  client->LastError().c_str());
        } else {
            Trace("[KEYWARDEN] ReviseEkey result =%d", static_cast<int>(result));
            if (serviceResult != nullptr)
                *serviceResult = result;
        }
        return ClassifyVerifyResult(status, result);
    } catch (const std::exception& e) {
        Trace("[KEYWARDEN] ReviseEkey threw: %s", e.what());
    } catch (...) {
        Trace("[KEYWARDEN] ReviseEkey threw");
    }
    return VerifyOutcome::Exception;
}

void SetFlowServiceConfig(ServiceConfig config) {
    std::lock_guard lock(g_flowMutex);
    g_config = std::move(config);
}

std::unique_ptr<CUserAndHardwareService> MakeFlowClient() {
    ServiceConfig config;
    {
        std::lock_guard lock(g_flowMutex);
        config = g_config;
        if (config.ok() && !g_endpoint.empty()) {
            config.settings.endpoint = g_endpoint;
        }
    }
    if (!config.ok()) {
        config.settings.endpoint.clear();  // fails the checks: a client that sends nothing
    }
    return MakeServiceClient(config.settings);
}

void SetVerificationEndpoint(std::string url) {
    std::lock_guard lock(g_flowMutex);
    g_endpoint = std::move(url);
}

std::string VerificationEndpoint() {
    std::lock_guard lock(g_flowMutex);
    return g_endpoint;
}
