// Drives the real token_service_sim executable over TCP.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/tools/token_service_sim/request_bytes.h"
#include "tools/token_service_sim/token_model.h"

#ifdef TOKEN_SIM_WITH_CLIENT
#include "service/http_transport.h"
#include "service/status.h"
#endif

namespace quillon::tokensim {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr std::string_view kNs = "http://tokens.test.example/";
constexpr int kWaitMs = 10'000;

// Reads from `fd` until `done(buffer)` or EOF; fails after kWaitMs without progress.
template <typename Done>
bool ReadUntil(int fd, std::string& buffer, Done done) {
    while (!done(buffer)) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kWaitMs) <= 0) {
            return false;
        }
        char chunk[4096];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) {
            return done(buffer);
        }
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
}

class SimProcess {
public:
    SimProcess() = default;
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    ~SimProcess() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        CloseFds();
    }

    // Starts the simulator; returns once it has printed its port (or has failed).
    void Start(const std::vector<std::string>& args) {
        int out[2];
        int err[2];
        ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
        ASSERT_EQ(::pipe2(err, O_CLOEXEC), 0);
        std::vector<std::string> argv{TOKEN_SIM_EXE};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargv;
        for (auto& a : argv) {
            cargv.push_back(a.data());
        }
        cargv.push_back(nullptr);
        m_pid = ::fork();
        ASSERT_GE(m_pid, 0);
        if (m_pid == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            ::execv(cargv[0], cargv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        m_out = out[0];
        m_err = err[0];
        std::string line;
        if (ReadUntil(m_out, line,
                      [](const std::string& b) { return b.find('\n') != std::string::npos; })) {
            const std::string prefix = "listening on 127.0.0.1:";
            if (line.rfind(prefix, 0) == 0) {
                port = std::atoi(line.c_str() + prefix.size());
            }
        }
    }

    // Waits for the process to end (after a signal, or on its own); returns the exit
    // status, or -1 when it was killed by a signal. Collects stderr.
    int Wait(int signo = 0) {
        if (signo != 0) {
            ::kill(m_pid, signo);
        }
        ReadUntil(m_err, stderrText, [](const std::string&) { return false; });
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        CloseFds();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    int port = -1;
    std::string stderrText;

private:
    void CloseFds() {
        for (int* fd : {&m_out, &m_err}) {
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
        }
    }

    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
};

struct HttpReply {
    int status = 0;
    std::string headers;
    std::string body;
};

class Connection {
public:
    explicit Connection(int port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = ::connect(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~Connection() { Close(); }
    // The server holds an idle keep-alive connection open until it times out.
    void Close() {
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Sends raw bytes and reads one reply framed by its Content-Length.
    HttpReply Exchange(const std::string& request) {
        HttpReply reply;
        if (::send(m_fd, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
            return reply;
        }
        auto complete = [](const std::string& b) {
            const std::size_t end = b.find("\r\n\r\n");
            if (end == std::string::npos) {
                return false;
            }
            const std::size_t cl = b.find("Content-Length: ");
            if (cl == std::string::npos || cl > end) {
                return false;
            }
            return b.size() >= end + 4 + std::stoul(b.substr(cl + 16));
        };
        if (!ReadUntil(m_fd, m_buffer, complete)) {
            return reply;
        }
        const std::size_t end = m_buffer.find("\r\n\r\n");
        const std::size_t cl = m_buffer.find("Content-Length: ");
        const std::size_t length = std::stoul(m_buffer.substr(cl + 16));
        reply.headers = m_buffer.substr(0, end);
        reply.body = m_buffer.substr(end + 4, length);
        reply.status = std::atoi(m_buffer.c_str() + m_buffer.find(' ') + 1);
        m_buffer.erase(0, end + 4 + length);
        return reply;
    }

    bool connected = false;

private:
    int m_fd = -1;
    std::string m_buffer;
};

std::string ResultOf(const HttpReply& reply) {
    const std::string open = "<ReviseEkeyResult>";
    const std::size_t start = reply.body.find(open);
    const std::size_t end = reply.body.find("</ReviseEkeyResult>");
    if (start == std::string::npos || end == std::string::npos) {
        return "(no result) " + reply.body;
    }
    return reply.body.substr(start + open.size(), end - start - open.size());
}

std::string PasswordNow(std::int64_t stepOffset = 0) {
    const auto secret = *DecodeHex(kDemoSecretHex);
    return PasswordAtStep(secret, StepAt(std::time(nullptr)) + stepOffset);
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/token_sim_server_XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        dir = templ;
        state = (dir / "tokens.state").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    void StartSim(SimProcess& sim, std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"--state", state,         "--port",
                                      "0",       "--namespace", std::string(kNs)};
        args.insert(args.end(), extra.begin(), extra.end());
        sim.Start(args);
        ASSERT_GT(sim.port, 0) << "no port line";
    }

    HttpReply Call(Connection& c, int port, std::string_view sn, std::string_view dp1,
                   std::string_view dp2) {
        return c.Exchange(test_support::ClientHttpRequest(
            kNs, port, test_support::ClientRequestBody(kNs, sn, dp1, dp2)));
    }

    fs::path dir;
    std::string state;
};

TEST_F(ServerTest, AnswersTheClientsRequestsOnOneKeepAliveConnectionAndKeepsStateAcrossRestarts) {
    const std::string pw = PasswordNow();
    {
        SimProcess sim;
        StartSim(sim);
        Connection c(sim.port);
        ASSERT_TRUE(c.connected);
        const HttpReply ok = Call(c, sim.port, kDemoSerial, pw, pw);
        EXPECT_EQ(ok.status, 200) << ok.headers;
        EXPECT_NE(ok.headers.find("Content-Type: text/xml; charset=utf-8"), std::string::npos)
            << ok.headers;
        EXPECT_EQ(ResultOf(ok), "0");
        EXPECT_NE(ok.body.find("<ReviseEkeyResponse xmlns=\"http://tokens.test.example/\">"),
                  std::string::npos)
            << ok.body;
        // Same connection: a replay, a wrong password, an unknown token.
        EXPECT_EQ(ResultOf(Call(c, sim.port, kDemoSerial, pw, pw)), "21004");
        const std::string wrong = PasswordNow(10);
        EXPECT_EQ(ResultOf(Call(c, sim.port, kDemoSerial, wrong, wrong)), "21003");
        EXPECT_EQ(ResultOf(Call(c, sim.port, "987654321", pw, pw)), "21001");
        c.Close();
        EXPECT_EQ(sim.Wait(SIGTERM), 0) << sim.stderrText;
    }
    {
        SimProcess sim;
        StartSim(sim);
        Connection c(sim.port);
        EXPECT_EQ(ResultOf(Call(c, sim.port, kDemoSerial, pw, pw)), "21004")
            << "the accepted step was forgotten across a restart";
        c.Close();
        EXPECT_EQ(sim.Wait(SIGINT), 0) << sim.stderrText;
    }
}

TEST_F(ServerTest, CalibratesADriftedTokenThenVerifiesIt) {
    SimProcess sim;
    StartSim(sim);
    Connection c(sim.port);
    // The token runs 50 steps (25 minutes) ahead of the server.
    const std::string dp1 = PasswordNow(48);
    const std::string dp2 = PasswordNow(50);
    const std::string next = PasswordNow(51);
    EXPECT_EQ(ResultOf(Call(c, sim.port, kDemoSerial, next, next)), "21003");
    EXPECT_EQ(ResultOf(Call(c, sim.port, kDemoSerial, dp1, dp2)), "0");
    EXPECT_EQ(ResultOf(Call(c, sim.port, kDemoSerial, next, next)), "0");
    c.Close();
    EXPECT_EQ(sim.Wait(SIGTERM), 0);
}

TEST_F(ServerTest, MalformedRequestsGetSoapFaultsAndTheWsdlIsServed) {
    SimProcess sim;
    StartSim(sim);
    Connection c(sim.port);
    const std::string body = test_support::ClientRequestBody(kNs, kDemoSerial, "1", "1");

    const HttpReply garbage =
        c.Exchange(test_support::ClientHttpRequest(kNs, sim.port, "<soap:Envelope garbage"));
    EXPECT_EQ(garbage.status, 500);
    EXPECT_NE(garbage.headers.find("Content-Type: text/xml"), std::string::npos);
    EXPECT_NE(garbage.body.find("<faultcode>soap:Client</faultcode>"), std::string::npos)
        << garbage.body;

    std::string wrongAction = test_support::ClientHttpRequest(kNs, sim.port, body);
    wrongAction.replace(wrongAction.find("ReviseEkey\""), 10, "Other");
    const HttpReply action = c.Exchange(wrongAction);
    EXPECT_EQ(action.status, 500);
    EXPECT_NE(action.body.find("soap:Client"), std::string::npos) << action.body;

    // The connection survives faults.
    EXPECT_EQ(ResultOf(Call(c, sim.port, kDemoSerial, "1", "1")), "21002");

    const HttpReply wsdl = c.Exchange(
        "GET /keluserandhardwareservice.asmx?wsdl HTTP/1.0\r\n"
        "Connection: Keep-Alive\r\n\r\n");
    EXPECT_EQ(wsdl.status, 200);
    EXPECT_NE(wsdl.body.find("soapAction=\"http://tokens.test.example/ReviseEkey\""),
              std::string::npos);
    EXPECT_NE(wsdl.body.find("location=\"http://127.0.0.1:" + std::to_string(sim.port) +
                             "/keluserandhardwareservice.asmx\""),
              std::string::npos)
        << wsdl.body;
    c.Close();
    EXPECT_EQ(sim.Wait(SIGTERM), 0);
}

TEST_F(ServerTest, MalformedStateFileStopsTheStartAndIsNotOverwritten) {
    const std::string broken = "quillon-token-sim-state 1\ntoken 123456789\n";
    std::ofstream(state) << broken;
    SimProcess sim;
    sim.Start({"--state", state, "--port", "0"});
    EXPECT_EQ(sim.port, -1);
    EXPECT_EQ(sim.Wait(), 1);
    EXPECT_NE(sim.stderrText.find("malformed state file"), std::string::npos) << sim.stderrText;
    std::ifstream in(state);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), broken);
}

TEST_F(ServerTest, AdminOptionsChangeTheStateFile) {
    const std::string secret = "00112233445566778899aabbccddeeff00112233";
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--add-token", "555555555", secret}, {"--bind", "555555555"}}) {
        SimProcess admin;
        std::vector<std::string> all{"--state", state};
        all.insert(all.end(), args.begin(), args.end());
        admin.Start(all);
        EXPECT_EQ(admin.Wait(), 0) << admin.stderrText;
    }
    SimProcess bad;
    bad.Start({"--state", state, "--bind", "000000000"});
    EXPECT_EQ(bad.Wait(), 1);

    SimProcess sim;
    StartSim(sim);
    Connection c(sim.port);
    const std::string pw = PasswordAtStep(*DecodeHex(secret), StepAt(std::time(nullptr)));
    EXPECT_EQ(ResultOf(Call(c, sim.port, "555555555", pw, pw)), "21030");
    c.Close();
    EXPECT_EQ(sim.Wait(SIGTERM), 0);
}

#ifdef TOKEN_SIM_WITH_CLIENT
// Quillon's own client against the simulator, both on the built-in namespace.
TEST_F(ServerTest, QuillonsClientGetsItsResults) {
    SimProcess sim;
    sim.Start({"--state", state, "--port", "0"});
    ASSERT_GT(sim.port, 0);
    const std::string url =
        "http://127.0.0.1:" + std::to_string(sim.port) + "/keluserandhardwareservice.asmx";
    const std::string pw = PasswordNow();
    const std::u16string pw16(pw.begin(), pw.end());
    const std::u16string wrong16 = u"00000000";
    std::int32_t result = -1;
    {
        CUserAndHardwareService client(url);
        ASSERT_EQ(client.ReviseEkey(u"123456789", pw16.c_str(), pw16.c_str(), &result), S_OK)
            << client.LastError();
        EXPECT_EQ(result, 0);
    }
    {
        CUserAndHardwareService client(url);
        ASSERT_EQ(client.ReviseEkey(u"123456789", wrong16.c_str(), wrong16.c_str(), &result), S_OK)
            << client.LastError();
        EXPECT_NE(result, 0);
        ASSERT_EQ(client.ReviseEkey(nullptr, nullptr, nullptr, &result), S_OK);
        EXPECT_EQ(result, RESULT_BAD_INPUT);
    }
    EXPECT_EQ(sim.Wait(SIGTERM), 0);
}
#endif

}  // namespace
}  // namespace quillon::tokensim
