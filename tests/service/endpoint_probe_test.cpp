// The token service's reachability step by step against the loopback server: through
// an explicit proxy (which is what the first two steps are about then), a lookup that
// stalls, and an HTTP answer that is an error.

#include "service/endpoint_probe.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "service/service_config.h"
#include "tests/service/loopback_server.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class EndpointProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        // libcurl's proxy variables would route around what each case sets up.
        for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                                 "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
            unsetenv(name);
    }
    LoopbackServer server;
};

TEST_F(EndpointProbeTest, ThroughTheProxyTheRequestCarriesTheAbsoluteUrl) {
    server.SetDefaultReply({{LoopbackServer::Http(200, "<html/>")}, LoopbackServer::Then::Close});
    ServiceSettings settings;
    settings.endpoint = "http://tokens.quillon.example/keluserandhardwareservice.asmx";
    settings.proxyHost = "127.0.0.1";
    settings.proxyPort = server.Port();
    const EndpointProbe probe = ProbeEndpoint(settings);
    EXPECT_TRUE(probe.viaProxy);
    EXPECT_EQ(probe.host, "127.0.0.1");
    EXPECT_EQ(probe.port, server.Port());
    ASSERT_TRUE(probe.resolve.ok) << probe.resolve.detail;
    ASSERT_TRUE(probe.connect.ok) << probe.connect.detail;
    ASSERT_TRUE(probe.http.ok) << probe.http.detail;
    EXPECT_EQ(probe.httpStatus, 200);
    // The name the proxy is asked for is never looked up here.
    ASSERT_TRUE(server.WaitForRequests(1));
    const std::string request = server.Requests().front();
    EXPECT_EQ(request.rfind("GET http://tokens.quillon.example/keluserandhardwareservice.asmx "
                            "HTTP/1.",
                            0),
              0u)
        << request;
}

TEST_F(EndpointProbeTest, AnHttpErrorIsAnAnswerWithItsStatus) {
    server.SetDefaultReply({{LoopbackServer::Http(503, "busy")}, LoopbackServer::Then::Close});
    ServiceSettings settings;
    settings.endpoint = server.Url();
    const EndpointProbe probe = ProbeEndpoint(settings);
    EXPECT_FALSE(probe.viaProxy);
    ASSERT_TRUE(probe.connect.ok) << probe.connect.detail;
    EXPECT_TRUE(probe.http.ok) << probe.http.detail;
    EXPECT_EQ(probe.httpStatus, 503);
    EXPECT_EQ(probe.http.detail, "HTTP 503");
}

// A resolver that does not answer costs the lookup's limit, no more and no less, and
// the later steps are not tried; the stalled lookup ends on its own afterwards.
TEST_F(EndpointProbeTest, AStalledLookupEndsTheProbeAtItsLimit) {
    struct Gate {
        std::mutex mutex;
        std::condition_variable changed;
        bool open = false;
        bool returned = false;
    };
    auto gate = std::make_shared<Gate>();
    const ProbeResolver stalls = [gate](const std::string&, const std::string&, const addrinfo*,
                                        addrinfo**) {
        std::unique_lock lock(gate->mutex);
        gate->changed.wait(lock, [&] { return gate->open; });
        gate->returned = true;
        gate->changed.notify_all();
        return EAI_AGAIN;
    };
    ServiceSettings settings;
    settings.endpoint = server.Url();
    ProbeTimeouts timeouts;
    timeouts.resolve = 300ms;
    const auto start = Clock::now();
    const EndpointProbe probe = ProbeEndpoint(settings, timeouts, stalls);
    const auto took = Clock::now() - start;
    EXPECT_TRUE(probe.resolve.tried);
    EXPECT_FALSE(probe.resolve.ok);
    EXPECT_EQ(probe.resolve.detail, "no answer from the resolver within 0.3 s");
    EXPECT_FALSE(probe.connect.tried);
    EXPECT_FALSE(probe.http.tried);
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 1300ms);
    EXPECT_EQ(server.Connections(), 0u);

    std::unique_lock lock(gate->mutex);
    gate->open = true;
    gate->changed.notify_all();
    EXPECT_TRUE(gate->changed.wait_for(lock, 5s, [&] { return gate->returned; }));

    // A resolver that answers within the limit: the probe goes on to the server.
    server.SetDefaultReply({{LoopbackServer::Http(200, "")}, LoopbackServer::Then::Close});
    const ProbeResolver slow = [](const std::string& host, const std::string& service,
                                  const addrinfo* hints, addrinfo** found) {
        std::this_thread::sleep_for(50ms);
        return ::getaddrinfo(host.c_str(), service.c_str(), hints, found);
    };
    const EndpointProbe answered = ProbeEndpoint(settings, timeouts, slow);
    EXPECT_TRUE(answered.resolve.ok) << answered.resolve.detail;
    EXPECT_GE(answered.resolve.took, 50ms);
    EXPECT_TRUE(answered.http.ok) << answered.http.detail;
}

}  // namespace
