#include "service/service_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "service/http_transport.h"
#include "service/status.h"
#include "tests/service/loopback_server.h"

namespace {

namespace fs = std::filesystem;

class ServiceConfigTest : public ::testing::Test {
protected:
    ServiceConfigTest() {
        std::string tmpl = (fs::temp_directory_path() / "quillon-conf-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr)
            std::abort();
        m_root = tmpl;
        // Traversable by others: one case reads as an unprivileged user.
        fs::permissions(m_root, fs::perms::owner_all | fs::perms::group_exec |
                                    fs::perms::others_exec | fs::perms::others_read);
        m_env.home = (m_root / "home").string();
        m_env.systemDir = (m_root / "etc").string();
    }
    ~ServiceConfigTest() override {
        std::error_code ec;
        for (const auto& entry : fs::recursive_directory_iterator(m_root, ec))
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(m_root, ec);
    }

    // Writes <dir>/quillon/quillon.conf and returns its path.
    std::string Write(const fs::path& dir, std::string_view text) {
        fs::create_directories(dir / "quillon");
        const fs::path file = dir / "quillon" / "quillon.conf";
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        return file.string();
    }

    fs::path m_root;
    ConfigEnvironment m_env;
};

TEST_F(ServiceConfigTest, FirstExistingFileWinsWholeOverBuiltIn) {
    EXPECT_EQ(CheckEndpointUrl(BuiltInEndpointUrl()), "") << "the built-in endpoint must pass";

    // No file: the built-in settings.
    ServiceConfig config = LoadServiceConfig(m_env);
    ASSERT_TRUE(config.ok()) << config.error;
    EXPECT_EQ(config.settings.endpoint, BuiltInEndpointUrl());
    EXPECT_EQ(config.settings.proxyHost, "");
    EXPECT_EQ(config.settings.source, "");

    const std::string system =
        Write(m_root / "etc",
              "endpoint = http://etc.example/s.asmx\nproxy = proxy.example:3128\n"
              "keys = ir, game pad up\nresults = postgresql://db.example/line\n");
    config = LoadServiceConfig(m_env);
    ASSERT_TRUE(config.ok()) << config.error;
    EXPECT_EQ(config.settings.source, system);
    EXPECT_EQ(config.settings.testKeys, "ir, game pad up");
    EXPECT_EQ(config.settings.results, "postgresql://db.example/line");
    EXPECT_EQ(config.settings.endpoint, "http://etc.example/s.asmx");
    EXPECT_EQ(config.settings.proxyHost, "proxy.example");
    EXPECT_EQ(config.settings.proxyPort, 3128);

    // XDG_CONFIG_HOME unset, empty or relative: ~/.config. Its file is used whole, so
    // the system file's proxy does not leak in. Comments, CRLF, a BOM and inline ";".
    const std::string user = Write(m_root / "home" / ".config",
                                   "\xEF\xBB\xBF# site\r\n; other\r\n\r\n"
                                   "  endpoint=https://home.example:8443/s.asmx ; tls\r\n");
    for (const std::optional<std::string>& xdg :
         {std::optional<std::string>(), std::optional<std::string>(""),
          std::optional<std::string>("relative/dir")}) {
        m_env.xdgConfigHome = xdg;
        config = LoadServiceConfig(m_env);
        ASSERT_TRUE(config.ok()) << config.error;
        EXPECT_EQ(config.settings.source, user);
        EXPECT_EQ(config.settings.endpoint, "https://home.example:8443/s.asmx");
        EXPECT_EQ(config.settings.proxyHost, "");
    }

    // XDG_CONFIG_HOME set: its file, over ~/.config's; without one there, /etc.
    m_env.xdgConfigHome = (m_root / "xdg").string() + "/";
    const std::string xdg = Write(m_root / "xdg", "proxy = [::1]:8080\n");
    config = LoadServiceConfig(m_env);
    ASSERT_TRUE(config.ok()) << config.error;
    EXPECT_EQ(config.settings.source, xdg);
    EXPECT_EQ(config.settings.endpoint, BuiltInEndpointUrl());
    EXPECT_EQ(config.settings.proxyHost, "[::1]");
    EXPECT_EQ(config.settings.proxyPort, 8080);
    m_env.xdgConfigHome = (m_root / "no-such-dir").string();
    EXPECT_EQ(LoadServiceConfig(m_env).settings.source, system);

    // --endpoint replaces the file's endpoint, keeps its proxy, and is checked alike.
    config = LoadServiceConfig(m_env, "http://cli.example:81/x.asmx");
    ASSERT_TRUE(config.ok()) << config.error;
    EXPECT_EQ(config.settings.endpoint, "http://cli.example:81/x.asmx");
    EXPECT_EQ(config.settings.proxyHost, "proxy.example");
    EXPECT_EQ(LoadServiceConfig(m_env, "ftp://cli.example/x").error,
              "--endpoint: scheme \"ftp\" is not http or https");
    EXPECT_EQ(LoadServiceConfig(m_env, "").error, "--endpoint: empty value");

    // No home directory known: only the system file is looked at.
    m_env.home.reset();
    m_env.xdgConfigHome.reset();
    EXPECT_EQ(ConfigFileCandidates(m_env), std::vector<std::string>{system});
}

// The hint for a built-in endpoint names the file in use, else the user's own, and
// is silent for any other endpoint.
TEST_F(ServiceConfigTest, TheBuiltInEndpointHintNamesTheFileToWrite) {
    const std::string line =
        " as the line `endpoint = http://<host>/keluserandhardwareservice.asmx`";
    EXPECT_EQ(BuiltInEndpointHint(m_env),
              "the endpoint " + std::string(BuiltInEndpointUrl()) +
                  " is the built-in one, which names no site's token "
                  "service: write yours into " +
                  (m_root / "home/.config/quillon/quillon.conf").string() + line);
    m_env.xdgConfigHome = (m_root / "x\x1b[2Jdg").string();
    EXPECT_NE(BuiltInEndpointHint(m_env).find((m_root / "x\\x1b[2Jdg").string() +
                                              "/quillon/quillon.conf" + line),
              std::string::npos)
        << BuiltInEndpointHint(m_env);
    EXPECT_EQ(BuiltInEndpointHint(m_env, "http://site.example/s.asmx"), "");
    const std::string system = Write(m_root / "etc", "proxy = proxy.example:3128\n");
    m_env.xdgConfigHome.reset();
    EXPECT_NE(BuiltInEndpointHint(m_env).find("write yours into " + system + line),
              std::string::npos)
        << BuiltInEndpointHint(m_env);
    Write(m_root / "etc", "endpoint = http://site.example/s.asmx\n");
    EXPECT_EQ(BuiltInEndpointHint(m_env), "");
    EXPECT_NE(BuiltInEndpointHint(m_env, BuiltInEndpointUrl()), "");
}

TEST_F(ServiceConfigTest, BadFilesNameFileLineAndFault) {
    const std::string ok = "endpoint = http://a.example/s.asmx\n";
    struct Case {
        std::string text;
        int line;
        std::string what;
    } cases[] = {
        {"endpoint = not a url\n", 1,
         "endpoint: not a usable URL (expected http://host[:port]/path)"},
        {"# c\n\nendpoint = ftp://a.example/x\n", 3,
         "endpoint: scheme \"ftp\" is not http or https"},
        {"endpoint = http:///s.asmx\n", 1, "endpoint: no host (expected http://host[:port]/path)"},
        {"endpoint = http://user:pw@a.example/x\n", 1,  // "@" is escaped, as the client does
         "endpoint: not a usable URL (expected http://host[:port]/path)"},
        {"endpoint = http://a.example:0/x\n", 1, "endpoint: port must be a number from 1 to 65535"},
        {"endpoint = http://a.example:65536/x\n", 1,
         "endpoint: not a usable URL (expected http://host[:port]/path)"},
        {"endpoint = http://a b.example/x\n", 1,
         "endpoint: host may hold only letters, digits, '-', '.' and '_', or be a bracketed "
         "IPv6 address"},
        {"endpoint =\n", 1, "endpoint: empty value"},
        {"proxy = proxy.example:70000\n", 1, "proxy: port must be a number from 1 to 65535"},
        {"proxy = proxy.example:0\n", 1, "proxy: port must be a number from 1 to 65535"},
        {"proxy = proxy.example:80x\n", 1, "proxy: port must be a number from 1 to 65535"},
        {"proxy = proxy.example\n", 1, "proxy: expected host:port"},
        {"proxy = :3128\n", 1, "proxy: expected host:port"},
        {"proxy = http://proxy.example:3128\n", 1, "proxy: give host:port, without a scheme"},
        {"proxy = ::1:3128\n", 1, "proxy: expected host:port (an IPv6 address goes in brackets)"},
        {ok + "endpiont = http://b.example/x\n", 2,
         "unknown key \"endpiont\" (the keys are endpoint, proxy, keys and results)"},
        {ok + "proxy = p.example:1\nendpoint = http://b.example/x\n", 3,
         "endpoint: given again (first on line 1)"},
        {"keys = ir\n" + ok + "keys = pad\n", 3, "keys: given again (first on line 1)"},
        {ok + "this line has no equals sign\n", 2, "expected key = value"},
        {"[service\n" + ok, 1, "section header without a closing ']'"},
        {"[service]\n" + ok, 2,
         "section [service] is not used: put the keys at the top of the file"},
        {"proxy = p.example:3128\n  " + ok, 2,
         "indented line would continue the value of proxy; remove the indentation"},
        {ok + std::string("proxy = p.example:1\0\n", 21), 2, "holds a NUL byte"},
        // The first fault in the file is the one reported, whoever finds it.
        {"proxy = bad\nno equals\n", 1, "proxy: expected host:port"},
        {"no equals\nproxy = bad\n", 1, "expected key = value"},
    };
    m_env.xdgConfigHome = (m_root / "xdg").string();
    for (const Case& c : cases) {
        const std::string path = Write(m_root / "xdg", c.text);
        const ServiceConfig config = LoadServiceConfig(m_env);
        EXPECT_EQ(config.error, path + ":" + std::to_string(c.line) + ": " + c.what) << c.text;
    }
    // inih would split a line longer than its buffer into several. The longest URL the
    // client takes fits, with a comment after it.
    const std::string longUrl =
        "http://a.example/" + std::string(2000, 'a') + "?" + std::string(60, 'q');
    std::string path = Write(
        m_root / "xdg", "endpoint = " + longUrl + " ; the long one\n" + "proxy = p.example:3128\n");
    ServiceConfig config = LoadServiceConfig(m_env);
    ASSERT_TRUE(config.ok()) << config.error;
    EXPECT_EQ(config.settings.endpoint, longUrl);
    EXPECT_EQ(config.settings.proxyPort, 3128);
    path = Write(m_root / "xdg", ok + "proxy = " + std::string(4100, 'p') + ":1\n");
    EXPECT_EQ(LoadServiceConfig(m_env).error, path + ":2: line longer than 4096 characters");
}

// What the client or libcurl would fail on at every call, refused on its line; and
// whatever a message quotes shows its control characters escaped.
TEST_F(ServiceConfigTest, EndpointsTheClientCannotUseAreRefusedOnTheirLine) {
    struct Case {
        std::string value;
        std::string what;
    } cases[] = {
        {"http://a.example/s.asmx?a\rb", "endpoint: holds the control character \\r"},
        {"http://a.example/s.asmx?a b",
         "endpoint: holds a space after '?' or '#' (write it as %20)"},
        {"http://a.example/s.asmx#a b",
         "endpoint: holds a space after '?' or '#' (write it as %20)"},
        {"http://a.example/s.asmx?\x1b[2J", "endpoint: holds the control character \\x1b"},
        {"http://a.example/s\tx.asmx", "endpoint: holds the control character \\t"},
        {"http://a.example/s.asmx?\x7f", "endpoint: holds the control character \\x7f"},
        {"ft\x1bp://a.example/x", "endpoint: holds the control character \\x1b"},
    };
    m_env.xdgConfigHome = (m_root / "xdg").string();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const std::string path = Write(m_root / "xdg", "# site\nendpoint = " + c.value + "\n");
        EXPECT_EQ(LoadServiceConfig(m_env).error, path + ":2: " + c.what);
        Write(m_root / "xdg", "");
        EXPECT_EQ(LoadServiceConfig(m_env, c.value).error, "--endpoint: " + c.what.substr(10));
    }
    // Quoted keys and sections.
    std::string path = Write(m_root / "xdg", "\x1b]0;x\a = 1\n");
    EXPECT_EQ(
        LoadServiceConfig(m_env).error,
        path +
            ":1: unknown key \"\\x1b]0;x\\x07\" (the keys are endpoint, proxy, keys and results)");
    path = Write(m_root / "xdg", "[\x9b\xc2\x9b]\nproxy = p:1\n");
    EXPECT_EQ(LoadServiceConfig(m_env).error,
              path +
                  ":2: section [\\x9b\\xc2\\x9b] is not used: put the keys at the top of "
                  "the file");

    // A space before '?' is the client's to escape, as before.
    Write(m_root / "xdg", "endpoint = http://a.example/a b.asmx?x=1\n");
    EXPECT_TRUE(LoadServiceConfig(m_env).ok()) << LoadServiceConfig(m_env).error;
}

// An IPv6 literal is an endpoint like any other, and calls reach it.
TEST_F(ServiceConfigTest, AnIpv6EndpointIsAcceptedAndUsed) {
    m_env.xdgConfigHome = (m_root / "xdg").string();
    Write(m_root / "xdg", "endpoint = http://[::1]:8080/keluserandhardwareservice.asmx\n");
    ServiceConfig config = LoadServiceConfig(m_env);
    ASSERT_TRUE(config.ok()) << config.error;
    EXPECT_EQ(config.settings.endpoint, "http://[::1]:8080/keluserandhardwareservice.asmx");
    for (const char* url : {"https://[2001:db8::1]/s.asmx", "http://[::ffff:127.0.0.1]:81/x"})
        EXPECT_EQ(CheckEndpointUrl(url), "") << url;
    EXPECT_EQ(CheckEndpointUrl("http://[::1/x"),
              "not a usable URL (expected http://host[:port]/path)");
    EXPECT_NE(CheckEndpointUrl("http://[::g]/x"), "");

    std::unique_ptr<LoopbackServer> server;
    try {
        server = std::make_unique<LoopbackServer>(LoopbackServer::Family::IPv6);
    } catch (const std::runtime_error& e) {
        GTEST_SKIP() << e.what() << ": this machine has no IPv6 loopback";
    }
    server->Enqueue(
        {{LoopbackServer::Http(200, ReviseEkeyReplyBody("0"))}, LoopbackServer::Then::Close});
    config = LoadServiceConfig(m_env, server->Url());
    ASSERT_TRUE(config.ok()) << config.error;
    ::setenv("no_proxy", "*", 1);
    std::int32_t result = -1;
    const auto client = MakeServiceClient(config.settings);
    ASSERT_EQ(S_OK, client->ReviseEkey(u"123456789", u"1", u"1", &result)) << client->LastError();
    EXPECT_EQ(0, result);
    ASSERT_EQ(server->Requests().size(), 1u);
    EXPECT_TRUE(
        server->Requests()[0].starts_with("POST /keluserandhardwareservice.asmx HTTP/1.0\r\n"))
        << server->Requests()[0];
    EXPECT_NE(server->Requests()[0].find("Host: [::1]:" + std::to_string(server->Port())),
              std::string::npos)
        << server->Requests()[0];
}

constexpr int kCannotDropRoot = 3;

// Runs the loader as an unprivileged user (root reads any file); nullopt when the
// privileges cannot be dropped here.
std::optional<std::string> LoadErrorAsNobody(const ConfigEnvironment& env) {
    int fds[2];
    if (::pipe(fds) != 0)
        return "pipe failed";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(kCannotDropRoot);
        const std::string error = LoadServiceConfig(env).error;
        const bool written =
            ::write(fds[1], error.data(), error.size()) == static_cast<ssize_t>(error.size());
        ::_exit(written ? 0 : 4);
    }
    ::close(fds[1]);
    std::string error;
    char buffer[512];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof(buffer))) > 0;)
        error.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == kCannotDropRoot)
        return std::nullopt;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "child failed with status " + std::to_string(status);
    return error;
}

TEST_F(ServiceConfigTest, UnreadableFileIsAnErrorNotAMissingFile) {
    Write(m_root / "etc", "endpoint = http://etc.example/s.asmx\n");
    m_env.xdgConfigHome = (m_root / "xdg").string();
    const std::string user = (m_root / "xdg" / "quillon" / "quillon.conf").string();
    fs::remove(user);
    fs::create_directories(user);
    EXPECT_EQ(LoadServiceConfig(m_env).error, user + ": is a directory, not a file");

    // Neither a FIFO (which would hang the start), a device that never ends, a link to
    // nothing nor a file too large to be one brings back /etc's or the built-in endpoint.
    const struct {
        const char* name;
        std::function<void()> make;
        std::string what;
    } odd[] = {
        {"FIFO", [&] { ASSERT_EQ(::mkfifo(user.c_str(), 0600), 0); },
         "is a FIFO, not a regular file"},
        {"/dev/zero", [&] { fs::create_symlink("/dev/zero", user); },
         "is a device, not a regular file"},
        {"dangling link", [&] { fs::create_symlink("moved-away.conf", user); },
         "is a symbolic link to moved-away.conf, which does not exist"},
        {"oversized", [&] { Write(m_root / "xdg", "# " + std::string(64 * 1024, 'x') + "\n"); },
         "larger than 65536 bytes"},
    };
    for (const auto& o : odd) {
        SCOPED_TRACE(o.name);
        fs::remove_all(user);
        o.make();
        auto load = std::async(std::launch::async, [&] { return LoadServiceConfig(m_env); });
        ASSERT_EQ(load.wait_for(std::chrono::seconds(5)), std::future_status::ready)
            << "blocked on " << o.name;  // std::async's end would then block too: the test hangs
        EXPECT_EQ(load.get().error, user + ": " + o.what);
    }
    fs::remove_all(user);

    fs::remove(user);
    Write(m_root / "xdg", "endpoint = http://xdg.example/s.asmx\n");
    fs::permissions(user, fs::perms::none);
    const std::optional<std::string> error =
        ::geteuid() == 0 ? LoadErrorAsNobody(m_env) : LoadServiceConfig(m_env).error;
    if (!error)
        GTEST_SKIP() << "running as root without the right to become nobody";
    EXPECT_EQ(*error, user + ": cannot open: Permission denied");
}

TEST(ServiceClientFromSettings, GoesThroughTheProxyAndNeverToABadUrl) {
    ::setenv("no_proxy", "127.0.0.1", 1);
    LoopbackServer proxy;
    proxy.Enqueue(
        {{LoopbackServer::Http(200, ReviseEkeyReplyBody("0"))}, LoopbackServer::Then::Close});
    ServiceSettings settings;
    settings.endpoint = "http://tokens.invalid:8080/keluserandhardwareservice.asmx";
    settings.proxyHost = "127.0.0.1";
    settings.proxyPort = proxy.Port();
    std::int32_t result = -1;
    ASSERT_EQ(S_OK, MakeServiceClient(settings)->ReviseEkey(u"123456789", u"1", u"1", &result));
    EXPECT_EQ(0, result);
    ASSERT_EQ(proxy.Requests().size(), 1u);
    EXPECT_TRUE(proxy.Requests()[0].starts_with(
        "POST http://tokens.invalid:8080/keluserandhardwareservice.asmx HTTP/1.0\r\n"))
        << proxy.Requests()[0];

    // Settings that fail the checks never reach the network. The client alone would
    // post these two over http to the server they name.
    LoopbackServer server;
    const std::string port = std::to_string(server.Port());
    for (std::string bad :
         {"ftp://127.0.0.1:" + port + "/x", "foo://127.0.0.1:" + port + "/x", std::string()}) {
        settings.endpoint = bad;
        settings.proxyHost.clear();
        result = 7;
        EXPECT_EQ(E_FAIL, MakeServiceClient(settings)->ReviseEkey(u"1", u"2", u"3", &result))
            << bad;
        EXPECT_EQ(7, result);
    }
    EXPECT_EQ(server.Connections(), 0u);
}

}  // namespace
