#pragma once

// A small HTTP server on 127.0.0.1 or [::1] (ephemeral port) for the client tests. It serves
// one connection at a time, records each request's exact bytes and answers with
// scripted replies: given bytes in given pieces, then keep the connection, close it,
// stall until the client gives up, or keep sending more (a trickle, endless interim
// replies or headers) until the client gives up.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class LoopbackServer {
public:
    enum class Then { KeepOpen, Close, Stall, Repeat };
    struct Reply {
        std::vector<std::string> pieces;  // each sent with its own send()
        Then then = Then::KeepOpen;
        // Then::Repeat: `repeat` goes out every `every` (0: as fast as the client takes it).
        std::string repeat = {};
        std::chrono::milliseconds every{0};
    };

    enum class Family { IPv4, IPv6 };
    // On 127.0.0.1, or on [::1]; throws std::runtime_error when it cannot listen there.
    explicit LoopbackServer(Family family = Family::IPv4);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::uint16_t Port() const { return m_port; }
    std::string Url(std::string_view path = "/keluserandhardwareservice.asmx") const;

    // Replies are used in order, one per request; when none is queued the default
    // reply goes out (none set: the server closes the connection).
    void Enqueue(Reply reply);
    void SetDefaultReply(Reply reply);
    std::vector<std::string> Requests() const;
    std::size_t Connections() const;
    bool WaitForRequests(std::size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

    // A complete reply with Content-Length.
    static std::string Http(int status, std::string_view body, std::string_view extraHeaders = "");

private:
    void Run();
    void Serve(int connection);
    bool WaitReadable(int fd) const;  // false when stopping
    void Repeat(int connection, const Reply& reply) const;

    Family m_family;
    int m_listen = -1;
    int m_wake[2] = {-1, -1};
    std::uint16_t m_port = 0;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::deque<Reply> m_replies;
    Reply m_default{{}, Then::Close};
    std::vector<std::string> m_requests;
    std::size_t m_connections = 0;
    std::thread m_thread;
};

// A well-formed ReviseEkey reply carrying `result` as its text, and a SOAP fault
// (soap:Server) body, as the service would send them.
std::string ReviseEkeyReplyBody(std::string_view result);
extern const std::string kSoapServerFaultBody;
