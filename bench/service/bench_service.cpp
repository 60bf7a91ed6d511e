// Per-call costs of the token service client: building the request, reading the
// reply, and a whole call to a loopback server next to a plain libcurl POST of the
// same bytes over a kept-alive connection. The last line gives our overhead as a
// ratio. Numbers only; nothing passes or fails here.

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "service/http_transport.h"
#include "service/revise_ekey_messages.h"
#include "service/status.h"
#include "tests/service/loopback_server.h"

namespace {

std::string ReplyBody() {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope xmlns:soap=\""
           "http://schemas.xmlsoap.org/soap/envelope/\" xmlns:xsi=\"http://www.w3.org/2001/"
           "XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"><soap:Body>"
           "<ReviseEkeyResponse xmlns=\"" +
           std::string(ServiceNamespaceUri()) +
           "\"><ReviseEkeyResult>21030</ReviseEkeyResult></ReviseEkeyResponse></soap:Body>"
           "</soap:Envelope>";
}

LoopbackServer& Server() {
    static LoopbackServer* server = [] {
        auto* s = new LoopbackServer();
        s->SetDefaultReply(
            {{LoopbackServer::Http(200, ReplyBody(), "Connection: keep-alive\r\n")}});
        return s;
    }();
    return *server;
}

void BM_WriteRequest(benchmark::State& state) {
    ReviseEkeyParams params{u"123456789", u"12345678", u"12345678", 0};
    std::string body;
    for (auto _ : state) {
        body.clear();
        benchmark::DoNotOptimize(WriteReviseEkeyRequest(params, ServiceNamespaceUri(), body));
    }
}
BENCHMARK(BM_WriteRequest);

void BM_ReadReply(benchmark::State& state) {
    const std::string reply = ReplyBody();
    SaxReader reader;
    for (auto _ : state) {
        StringStream stream(reply);
        ReviseEkeyParams params;
        benchmark::DoNotOptimize(ReadReviseEkeyResponse(stream, params, reader));
    }
}
BENCHMARK(BM_ReadReply);

void BM_ReviseEkeyRoundTrip(benchmark::State& state) {
    CUserAndHardwareService client(Server().Url());
    std::int32_t result = 0;
    for (auto _ : state) {
        if (client.ReviseEkey(u"123456789", u"12345678", u"12345678", &result) != S_OK) {
            state.SkipWithError(client.LastError().c_str());
            break;
        }
    }
}
BENCHMARK(BM_ReviseEkeyRoundTrip)->UseRealTime();

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

void BM_PlainCurlPost(benchmark::State& state) {
    std::string body;
    WriteReviseEkeyRequest({u"123456789", u"12345678", u"12345678", 0}, ServiceNamespaceUri(),
                           body);
    const std::string url = Server().Url();
    CURL* easy = curl_easy_init();
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: text/xml; charset=utf-8");
    headers = curl_slist_append(headers, "Connection: Keep-Alive");
    std::string reply;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long{CURL_HTTP_VERSION_1_0});
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply);
    for (auto _ : state) {
        reply.clear();
        if (curl_easy_perform(easy) != CURLE_OK) {
            state.SkipWithError("plain POST failed");
            break;
        }
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
}
BENCHMARK(BM_PlainCurlPost)->UseRealTime();

// Prints the usual table and remembers each run's time per iteration.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            m_ns[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void PrintRatio() const {
        const auto ours = m_ns.find("BM_ReviseEkeyRoundTrip/real_time");
        const auto plain = m_ns.find("BM_PlainCurlPost/real_time");
        if (ours != m_ns.end() && plain != m_ns.end() && plain->second > 0) {
            std::printf("ReviseEkey round trip / plain libcurl POST: %.2f\n",
                        ours->second / plain->second);
        }
    }

private:
    std::map<std::string, double> m_ns;
};

}  // namespace

int main(int argc, char** argv) {
    ::setenv("no_proxy", "127.0.0.1", 1);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatio();
    benchmark::Shutdown();
    return 0;
}
