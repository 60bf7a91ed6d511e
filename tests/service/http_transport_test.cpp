#include "service/http_transport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

#include "service/status.h"
#include "tests/service/loopback_server.h"

namespace {

using Then = LoopbackServer::Then;
using std::chrono::milliseconds;

// How late a time limit may end a call: loose enough for sanitizer builds on a busy
// machine, tight enough to tell a limit that works from one that does not.
constexpr milliseconds kLateMargin{1500};
// How soon a wake-up must end a call.
constexpr milliseconds kPrompt{250};

// A body that the reader keeps reading: the envelope is open, blanks may follow.
const std::string kOpenEnvelope =
    "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n<soap:Envelope "
    "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>";

class HttpTransport : public ::testing::Test {
protected:
    // Loopback must never go through a proxy from the environment.
    HttpTransport() { ::setenv("no_proxy", "127.0.0.1", 1); }

    LoopbackServer server;
};

TEST_F(HttpTransport, ExactRequestOnTheWireAndResult) {
    server.Enqueue({{LoopbackServer::Http(200, ReviseEkeyReplyBody("21030"))}});
    CUserAndHardwareService client(server.Url());
    std::int32_t result = -5;
    ASSERT_EQ(S_OK, client.ReviseEkey(u"123456789", u"1234\u00e9678", nullptr, &result))
        << client.LastError();
    EXPECT_EQ(21030, result);

    const std::string body =
        "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
        "xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\"><soap:Body>"
        "<ReviseEkey xmlns=\"" +
        std::string(ServiceNamespaceUri()) +
        "\"><ekeysn>123456789</ekeysn><ekeydp1>1234&#x00E9;678</ekeydp1>"
        "<ekeydp2 xsi:nil=\"1\"/></ReviseEkey></soap:Body></soap:Envelope>";
    const std::string expected =
        "POST /keluserandhardwareservice.asmx HTTP/1.0\r\n"
        "Host: 127.0.0.1:" +
        std::to_string(server.Port()) +
        "\r\n"
        "User-Agent: VCSoapClient\r\n"
        "Accept: text/*\r\n"
        "Content-Length: " +
        std::to_string(body.size()) +
        "\r\n"
        "Connection: Keep-Alive\r\n"
        "SOAPAction: \"" +
        std::string(ServiceNamespaceUri()) +
        "ReviseEkey\"\r\n"
        "Content-Type: text/xml; charset=utf-8\r\n"
        "\r\n" +
        body;
    ASSERT_EQ(1u, server.Requests().size());
    EXPECT_EQ(expected, server.Requests()[0]);
}

TEST_F(HttpTransport, RepliesByStatusAndShape) {
    const std::string valid = ReviseEkeyReplyBody("-1");
    struct Case {
        const char* name;
        LoopbackServer::Reply reply;
        std::int32_t code;
        std::int32_t result;
        std::string_view error = "";
    };
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    auto chunk = [](std::string_view data) {
        char size[16];
        std::snprintf(size, sizeof(size), "%zx\r\n", data.size());
        return std::string(size) + std::string(data) + "\r\n";
    };
    const std::string reply7 = ReviseEkeyReplyBody("21030");
    const std::size_t split = reply7.find("21030") + 3;
    const Case cases[] = {
        {"200", {{LoopbackServer::Http(200, valid)}}, S_OK, -1},
        {"503 with a reply is read as a reply", {{LoopbackServer::Http(503, valid)}}, S_OK, -1},
        {"404 HTML fails in the reader",
         {{LoopbackServer::Http(404, "<html><body>Not Found</body></html>")}},
         E_FAIL,
         0},
        {"404 text is not XML",
         {{LoopbackServer::Http(404, "Not Found")}},
         SaxErrorCode(2 /* XML_ERROR_SYNTAX */),
         0,
         "reply is not well-formed XML (syntax error)"},
        {"a DOCTYPE is refused, and said to be",
         {{LoopbackServer::Http(200, "<!DOCTYPE soap:Envelope>" + valid)}},
         kSaxDoctypeRefused,
         0,
         "reply has a DOCTYPE, which is refused"},
        {"500 with a fault", {{LoopbackServer::Http(500, kSoapServerFaultBody)}}, E_FAIL, 0},
        {"500 with a valid reply", {{LoopbackServer::Http(500, valid)}}, E_FAIL, 0},
        {"chunked, number split across chunks",
         {{chunked, chunk(reply7.substr(0, split)), chunk(reply7.substr(split)), chunk("")}},
         S_OK,
         21030},
        {"HTTP/1.0 read to close", {{"HTTP/1.0 200 OK\r\n\r\n", valid}, Then::Close}, S_OK, -1},
        {"closes mid-body",
         {{"HTTP/1.1 200 OK\r\nContent-Length: 9999\r\n\r\n", valid.substr(0, 100)}, Then::Close},
         E_FAIL,
         0},
        {"closes after a complete document but short of its length",
         {{"HTTP/1.1 200 OK\r\nContent-Length: 9999\r\n\r\n", valid}, Then::Close},
         E_FAIL,
         0},
        {"closes before any reply", {{}, Then::Close}, E_FAIL, 0},
        {"endless body",
         {{"HTTP/1.1 200 OK\r\n\r\n<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/"
           "envelope/\"><soap:Body>",
           std::string(kMaxReplyBytes, ' ')},
          Then::Stall},
         E_FAIL,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.Enqueue(c.reply);
        CUserAndHardwareService client(server.Url());
        std::int32_t result = 99;
        const std::int32_t rc = client.ReviseEkey(u"1", u"2", u"3", &result);
        EXPECT_EQ(c.code, rc) << std::hex << rc << " " << client.LastError();
        EXPECT_EQ(rc == S_OK ? c.result : 99, result);
        EXPECT_NE(std::string::npos, client.LastError().find(c.error)) << client.LastError();
    }
}

TEST_F(HttpTransport, FaultIsKeptForDiagnosis) {
    server.Enqueue({{LoopbackServer::Http(500, kSoapServerFaultBody)}});
    CUserAndHardwareService client(server.Url());
    std::int32_t result = 0;
    EXPECT_EQ(E_FAIL, client.ReviseEkey(u"1", u"2", u"3", &result));
    EXPECT_EQ(SOAP_FAULT_SERVER, client.Fault().kind);
    EXPECT_TRUE(client.Fault().faultstring == u"boom");

    server.Enqueue({{LoopbackServer::Http(200, ReviseEkeyReplyBody("0"))}});
    EXPECT_EQ(S_OK, client.ReviseEkey(u"1", u"2", u"3", &result));
    EXPECT_EQ(SOAP_FAULT_NONE, client.Fault().kind);
}

TEST_F(HttpTransport, CallsOnOneClientShareOneConnection) {
    server.Enqueue(
        {{LoopbackServer::Http(200, ReviseEkeyReplyBody("1"), "Connection: keep-alive\r\n")}});
    server.Enqueue(
        {{LoopbackServer::Http(200, ReviseEkeyReplyBody("2"), "Connection: keep-alive\r\n")}});
    CUserAndHardwareService client(server.Url());
    std::int32_t first = 0;
    std::int32_t second = 0;
    ASSERT_EQ(S_OK, client.ReviseEkey(u"1", u"2", u"2", &first)) << client.LastError();
    ASSERT_EQ(S_OK, client.ReviseEkey(u"1", u"2", u"2", &second)) << client.LastError();
    EXPECT_EQ(1, first);
    EXPECT_EQ(2, second);
    EXPECT_EQ(1u, server.Connections());
    ASSERT_EQ(2u, server.Requests().size());
    EXPECT_EQ(server.Requests()[0], server.Requests()[1]);
}

TEST_F(HttpTransport, ConnectionLostAfterFailedReadIsReopened) {
    // The first reply is rejected mid-way; its connection cannot be reused.
    server.Enqueue({{"HTTP/1.1 200 OK\r\nContent-Length: 9999\r\n\r\n<html>"}, Then::Stall});
    CUserAndHardwareService client(server.Url());
    std::int32_t result = 0;
    EXPECT_EQ(E_FAIL, client.ReviseEkey(u"1", u"2", u"3", &result));
    server.Enqueue({{LoopbackServer::Http(200, ReviseEkeyReplyBody("4"))}});
    EXPECT_EQ(S_OK, client.ReviseEkey(u"1", u"2", u"3", &result)) << client.LastError();
    EXPECT_EQ(4, result);
    EXPECT_EQ(2u, server.Connections());
}

TEST_F(HttpTransport, CancelEndsAStalledCall) {
    const LoopbackServer::Reply stalls[] = {
        {{}, Then::Stall},  // before the status
        {{"HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n<soap:"}, Then::Stall},  // mid-body
        {{kOpenEnvelope}, Then::Repeat, " ", milliseconds(50)},                   // a trickle
    };
    for (const LoopbackServer::Reply& stall : stalls) {
        LoopbackServer stalling;
        stalling.Enqueue(stall);
        CUserAndHardwareService client(stalling.Url());
        std::int32_t result = 42;
        auto call = std::async(std::launch::async,
                               [&] { return client.ReviseEkey(u"1", u"2", u"3", &result); });
        ASSERT_TRUE(stalling.WaitForRequests(1));
        // Past libcurl's own early timer (200 ms): only the cancel can wake it now.
        EXPECT_EQ(std::future_status::timeout, call.wait_for(milliseconds(300)));
        client.Cancel();
        // At once, not when the transfer next looks up by itself (within a second).
        ASSERT_EQ(std::future_status::ready, call.wait_for(kPrompt));
        EXPECT_EQ(E_FAIL, call.get());
        EXPECT_EQ(42, result);
        EXPECT_EQ("cancelled", client.LastError());
    }
}

TEST_F(HttpTransport, CancelBeforeTheCallIsNotLost) {
    CUserAndHardwareService client(server.Url());
    client.Cancel();
    std::int32_t result = 42;
    EXPECT_EQ(E_FAIL, client.ReviseEkey(u"1", u"2", u"3", &result));
    EXPECT_EQ(0u, server.Connections());
}

// Each limit ends the call with E_FAIL and its own message: not before the limit, and
// soon after it.
TEST_F(HttpTransport, TimeAndSizeLimitsEndTheCall) {
    const std::string filler = "X-Filler: " + std::string(100, 'x') + "\r\n";
    const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
    const std::string headerCap =
        "reply headers larger than " + std::to_string(kMaxReplyHeaderBytes) + " bytes";
    struct Case {
        const char* name;
        LoopbackServer::Reply reply;
        CUserAndHardwareService::Timeouts timeouts;
        milliseconds limit;  // the call ends no sooner, and at most kLateMargin later
        std::string error;
    };
    const milliseconds shortLimit{400};
    const CUserAndHardwareService::Timeouts deadline{milliseconds(5000), milliseconds(5000),
                                                     shortLimit};
    const CUserAndHardwareService::Timeouts roomy{milliseconds(5000), milliseconds(5000),
                                                  milliseconds(10'000)};
    const std::string deadlinePassed = "call deadline of 400 ms passed";
    const Case cases[] = {
        {"a byte of the body every 50 ms",
         {{kOpenEnvelope}, Then::Repeat, " ", milliseconds(50)},
         deadline,
         shortLimit,
         deadlinePassed},
        {"100 Continue every 50 ms",
         {{}, Then::Repeat, interim, milliseconds(50)},
         deadline,
         shortLimit,
         deadlinePassed},
        {"a header line every 50 ms",
         {{"HTTP/1.1 200 OK\r\n"}, Then::Repeat, filler, milliseconds(50)},
         deadline,
         shortLimit,
         deadlinePassed},
        {"silent after the headers",
         {{"HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n"}, Then::Stall},
         {milliseconds(5000), shortLimit, milliseconds(10'000)},
         shortLimit,
         "no reply byte for 400 ms"},
        {"endless header block, fast",
         {{"HTTP/1.1 200 OK\r\n"}, Then::Repeat, filler},
         roomy,
         milliseconds(0),
         headerCap},
        {"endless 100 Continue, fast",
         {{}, Then::Repeat, interim},
         roomy,
         milliseconds(0),
         headerCap},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackServer hostile;
        hostile.Enqueue(c.reply);
        CUserAndHardwareService client(hostile.Url(), c.timeouts);
        std::int32_t result = 42;
        auto call = std::async(std::launch::async, [&] {
            const auto start = std::chrono::steady_clock::now();
            const std::int32_t rc = client.ReviseEkey(u"1", u"2", u"3", &result);
            return std::pair(rc, std::chrono::steady_clock::now() - start);
        });
        if (call.wait_for(c.limit + kLateMargin) != std::future_status::ready) {
            client.Cancel();
            ADD_FAILURE() << "the call outlived its limit";
        }
        const auto [rc, elapsed] = call.get();
        EXPECT_EQ(E_FAIL, rc) << std::hex << rc;
        EXPECT_EQ(c.error, client.LastError());
        EXPECT_GE(elapsed, c.limit);
        EXPECT_EQ(42, result);
        EXPECT_EQ(1u, hostile.Requests().size());
    }

    // A server whose queue of connections is full never completes the handshake: the
    // connect time-out ends the call.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, ::listen(listener, 0));
    ASSERT_EQ(0, ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size));
    std::vector<int> queued;
    for (int i = 0; i < 4; ++i) {
        queued.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ::connect(queued.back(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    CUserAndHardwareService client(
        "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/x",
        {shortLimit, milliseconds(5000), milliseconds(10'000)});
    std::int32_t result = 42;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(E_FAIL, client.ReviseEkey(u"1", u"2", u"3", &result));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, shortLimit - milliseconds(2));  // libcurl's own timer, to its ms
    EXPECT_LT(elapsed, shortLimit + kLateMargin) << client.LastError();
    for (int fd : queued)
        ::close(fd);
    ::close(listener);
}

TEST_F(HttpTransport, RefusedConnectionAndMissingResultLocation) {
    std::string url;
    {
        LoopbackServer gone;
        url = gone.Url();
    }
    CUserAndHardwareService client(url);
    std::int32_t result = 42;
    EXPECT_EQ(E_FAIL, client.ReviseEkey(u"1", u"2", u"3", &result));
    EXPECT_FALSE(client.LastError().empty());
    EXPECT_EQ(42, result);

    CUserAndHardwareService live(server.Url());
    EXPECT_EQ(E_POINTER, live.ReviseEkey(u"1", u"2", u"3", nullptr));
    EXPECT_EQ(0u, server.Connections());
}

TEST_F(HttpTransport, RequestLineFromTheEndpoint) {
    struct Case {
        std::string_view path;
        std::string_view requestLine;
    };
    const Case cases[] = {
        {"/a b.asmx?x=1", "POST /a%20b.asmx?x=1 HTTP/1.0\r\n"},
        {"", "POST / HTTP/1.0\r\n"},
        // Dot segments as configured; a fragment never leaves the client.
        {"/svc/../a/./b.asmx?x=1#part", "POST /svc/../a/./b.asmx?x=1 HTTP/1.0\r\n"},
        {"#part one", "POST / HTTP/1.0\r\n"},
    };
    for (const Case& c : cases) {
        server.Enqueue({{LoopbackServer::Http(200, ReviseEkeyReplyBody("0"))}});
        CUserAndHardwareService client(server.Url(c.path));
        std::int32_t result = 42;
        EXPECT_EQ(S_OK, client.ReviseEkey(u"1", u"2", u"3", &result)) << client.LastError();
        ASSERT_FALSE(server.Requests().empty());
        EXPECT_EQ(0u, server.Requests().back().find(c.requestLine)) << c.path;
    }
}

}  // namespace

// The endpoint URL: escaped, split, and refused before anything is sent.
namespace {

TEST(EscapeUrl, Cases) {
    struct Case {
        std::string in;
        bool ok;
        std::string out;
    };
    const Case cases[] = {
        {"http://h/keluserandhardwareservice.asmx", true,
         "http://h/keluserandhardwareservice.asmx"},
        {"http://h/a b", true, "http://h/a%20b"},
        {"http://h/%41\"<\xE9", true, "http://h/%41%22%3c%e9"},
        {"http://h/!'()*-._~:", true, "http://h/!'()*-._~:"},
        {"http://h/p q?a b#c d", true, "http://h/p%20q?a b#c d"},
        {"http://h/#x y", true, "http://h/#x y"},
        // The brackets of an IPv6 host stay; elsewhere they are escaped as before.
        {"http://[::1]:8080/a[b]?[c]", true, "http://[::1]:8080/a%5bb%5d?[c]"},
        {"http://h/[::1]", true, "http://h/%5b::1%5d"},
        {"http://h/" + std::string(2074, 'a'), true, "http://h/" + std::string(2074, 'a')},
        {"http://h/" + std::string(2075, 'a'), false, ""},
        {"http://h/" + std::string(691, ' '), true,
         "http://h/" +
             [] {
                 std::string s;
                 for (int i = 0; i < 691; ++i)
                     s += "%20";
                 return s;
             }()},
        {"http://h/" + std::string(692, ' '), false, ""},
    };
    for (const Case& c : cases) {
        std::string out = "stale";
        EXPECT_EQ(c.ok, EscapeUrl(c.in, out)) << c.in.substr(0, 40);
        if (c.ok) {
            EXPECT_EQ(c.out, out);
        }
    }
}

TEST(SplitEndpointUrl, Cases) {
    struct Case {
        std::string url;
        bool ok;
        std::int32_t scheme = URL_SCHEME_UNKNOWN;
        std::string schemeName = "", host = "", user = "", password = "", path = "", extra = "";
        std::uint16_t port = 0;
    };
    const std::string longHost(257, 'h');
    const Case cases[] = {
        {"http://tokens.example/keluserandhardwareservice.asmx", true, URL_SCHEME_HTTP, "http",
         "tokens.example", "", "", "/keluserandhardwareservice.asmx", "", 80},
        {"HTTPS://h/x", true, URL_SCHEME_HTTPS, "HTTPS", "h", "", "", "/x", "", 443},
        {"http://h:8080/x?q=1#f", true, URL_SCHEME_HTTP, "http", "h", "", "", "/x", "?q=1#f", 8080},
        {"http://u:p@h:81/x", true, URL_SCHEME_HTTP, "http", "h", "u", "p", "/x", "", 81},
        {"http://u@h", true, URL_SCHEME_HTTP, "http", "h", "u", "", "", "", 80},
        {"http://h#frag", true, URL_SCHEME_HTTP, "http", "h", "", "", "", "#frag", 80},
        {"ftp://h/f", true, URL_SCHEME_FTP, "ftp", "h", "", "", "/f", "", 21},
        {"gopher://h", true, URL_SCHEME_GOPHER, "gopher", "h", "", "", "", "", 70},
        {"socks://h", true, URL_SCHEME_SOCKS, "socks", "h", "", "", "", "", 1080},
        {"news://h:119/g", true, URL_SCHEME_NEWS, "news", "h", "", "", "/g", "", 0},
        {"mailto:a@b", true, URL_SCHEME_MAILTO, "mailto", "b", "a", "", "", "", 0},
        {"file:///c:/x?y#z", true, URL_SCHEME_FILE, "file", "", "", "", "/c:/x?y#z", "", 0},
        {"tel://h:5/p", true, URL_SCHEME_UNKNOWN, "tel", "h", "", "", "/p", "", 5},
        {"tel://h/p", true, URL_SCHEME_UNKNOWN, "tel", "h", "", "", "/p", "", 0},
        {"http://[::1]:9/p", true, URL_SCHEME_HTTP, "http", "[::1]", "", "", "/p", "", 9},
        {"mailto://a@b", false},
        {"http://:p@h/", false},
        {"http://h:80x/", false},
        {"http://h:65536/", false},
        {"no-scheme", false},
        {std::string(33, 's') + "://h/", false},
        {"http://" + longHost + "/", false},
        {"http://" + std::string(129, 'u') + "@h/", false},
        {"http://u:" + std::string(129, 'p') + "@h/", false},
        {"http://h/" + std::string(2048, 'p'), false},
        {"http://h/?" + std::string(2048, 'q'), false},
        {"http://h/" + std::string(2047, 'p') + "?" + std::string(39, 'q'), false},  // whole URL
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url.substr(0, 40));
        EndpointUrl ep;
        ASSERT_EQ(c.ok, SplitEndpointUrl(c.url, ep));
        if (!c.ok) {
            EXPECT_EQ(URL_SCHEME_UNKNOWN, ep.scheme);
            EXPECT_EQ(0, ep.port);
            EXPECT_TRUE(ep.hostName.empty() && ep.schemeName.empty() && ep.urlPath.empty());
            continue;
        }
        EXPECT_EQ(c.scheme, ep.scheme);
        EXPECT_EQ(c.schemeName, ep.schemeName);
        EXPECT_EQ(c.host, ep.hostName);
        EXPECT_EQ(c.user, ep.userName);
        EXPECT_EQ(c.password, ep.password);
        EXPECT_EQ(c.path, ep.urlPath);
        EXPECT_EQ(c.extra, ep.extraInfo);
        EXPECT_EQ(c.port, ep.port);
    }
}

TEST(CUserAndHardwareService, BuiltInEndpointAndBadEndpoints) {
    CUserAndHardwareService builtIn;
    EXPECT_EQ(URL_SCHEME_HTTP, builtIn.Endpoint().scheme);
    EXPECT_EQ(80, builtIn.Endpoint().port);
    EXPECT_FALSE(builtIn.Endpoint().hostName.empty());
    EXPECT_EQ("/keluserandhardwareservice.asmx", builtIn.TargetPath());
    EXPECT_TRUE(builtIn.Proxy().empty());
    EXPECT_EQ('/', ServiceNamespaceUri().back());

    CUserAndHardwareService spaced("http://h:81/a b.asmx?x y");
    EXPECT_EQ("/a%20b.asmx?x y", spaced.TargetPath());
    EXPECT_EQ(81, spaced.Endpoint().port);

    for (const char* bad : {"http://h:99999/x", "nonsense", ""}) {
        CUserAndHardwareService client(bad);
        EXPECT_TRUE(client.Endpoint().hostName.empty());
        EXPECT_TRUE(client.TargetPath().empty());
        std::int32_t result = 77;
        EXPECT_EQ(E_FAIL, client.ReviseEkey(u"1", u"2", u"3", &result)) << bad;
        EXPECT_EQ(77, result);
    }

    EXPECT_EQ(S_OK, builtIn.SetExplicitProxy("proxy.example", 8080));
    EXPECT_EQ("http=http://proxy.example:8080 https=http://proxy.example:8080", builtIn.Proxy());
    EXPECT_EQ(S_OK, builtIn.SetExplicitProxy("", 8080));
    EXPECT_TRUE(builtIn.Proxy().empty());
}

}  // namespace
