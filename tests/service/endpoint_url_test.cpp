#include <gtest/gtest.h>

#include <string>

#include "service/http_transport.h"
#include "service/status.h"

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
