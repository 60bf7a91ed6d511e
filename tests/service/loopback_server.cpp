#include "tests/service/loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <strings.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "service/http_transport.h"

namespace {

// Length of the first complete request in `data`, or 0 while it is incomplete.
std::size_t CompleteRequest(const std::string& data) {
    const std::size_t end = data.find("\r\n\r\n");
    if (end == std::string::npos) {
        return 0;
    }
    std::size_t length = 0;
    const std::string_view head(data.data(), end);
    std::size_t pos = 0;
    while (pos < head.size()) {
        std::size_t eol = head.find("\r\n", pos);
        if (eol == std::string_view::npos) {
            eol = head.size();
        }
        const std::string_view line = head.substr(pos, eol - pos);
        constexpr std::string_view kName = "content-length:";
        if (line.size() > kName.size() &&
            strncasecmp(line.data(), kName.data(), kName.size()) == 0) {
            length = std::stoul(std::string(line.substr(kName.size())));
        }
        pos = eol + 2;
    }
    const std::size_t total = end + 4 + length;
    return data.size() >= total ? total : 0;
}

void SendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

LoopbackServer::LoopbackServer(Family family) : m_family(family) {
    const bool v6 = family == Family::IPv6;
    m_listen = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage storage{};
    socklen_t size = 0;
    if (v6) {
        auto& addr = reinterpret_cast<sockaddr_in6&>(storage);
        addr.sin6_family = AF_INET6;
        addr.sin6_addr = in6addr_loopback;
        size = sizeof(addr);
    } else {
        auto& addr = reinterpret_cast<sockaddr_in&>(storage);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        size = sizeof(addr);
    }
    auto* addr = reinterpret_cast<sockaddr*>(&storage);
    if (m_listen < 0 || ::bind(m_listen, addr, size) != 0 || ::listen(m_listen, 8) != 0 ||
        ::getsockname(m_listen, addr, &size) != 0 || ::pipe2(m_wake, O_CLOEXEC) != 0) {
        if (m_listen >= 0)
            ::close(m_listen);
        throw std::runtime_error(std::string("loopback server: cannot listen on ") +
                                 (v6 ? "[::1]" : "127.0.0.1"));
    }
    m_port = ntohs(v6 ? reinterpret_cast<sockaddr_in6&>(storage).sin6_port
                      : reinterpret_cast<sockaddr_in&>(storage).sin_port);
    m_thread = std::thread([this] { Run(); });
}

LoopbackServer::~LoopbackServer() {
    const char stop = 's';
    (void)!::write(m_wake[1], &stop, 1);
    m_thread.join();
    ::close(m_listen);
    ::close(m_wake[0]);
    ::close(m_wake[1]);
}

std::string LoopbackServer::Url(std::string_view path) const {
    return std::string(m_family == Family::IPv6 ? "http://[::1]:" : "http://127.0.0.1:") +
           std::to_string(m_port) + std::string(path);
}

void LoopbackServer::Enqueue(Reply reply) {
    std::lock_guard lock(m_mutex);
    m_replies.push_back(std::move(reply));
}

void LoopbackServer::SetDefaultReply(Reply reply) {
    std::lock_guard lock(m_mutex);
    m_default = std::move(reply);
}

std::vector<std::string> LoopbackServer::Requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

std::size_t LoopbackServer::Connections() const {
    std::lock_guard lock(m_mutex);
    return m_connections;
}

bool LoopbackServer::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_requests.size() >= count; });
}

std::string LoopbackServer::Http(int status, std::string_view body, std::string_view extraHeaders) {
    return "HTTP/1.1 " + std::to_string(status) +
           " Status\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
           std::string(extraHeaders) + "\r\n" + std::string(body);
}

bool LoopbackServer::WaitReadable(int fd) const {
    pollfd fds[2] = {{fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0) {
    }
    return (fds[1].revents & POLLIN) == 0;
}

void LoopbackServer::Run() {
    while (WaitReadable(m_listen)) {
        const int connection = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            continue;
        }
        {
            std::lock_guard lock(m_mutex);
            ++m_connections;
        }
        const int one = 1;
        ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        Serve(connection);
        ::close(connection);
    }
}

void LoopbackServer::Serve(int connection) {
    std::string received;
    char buffer[4096];
    for (;;) {
        std::size_t length = 0;
        while ((length = CompleteRequest(received)) == 0) {
            if (!WaitReadable(connection)) {
                return;
            }
            const ssize_t n = ::recv(connection, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                return;
            }
            received.append(buffer, static_cast<std::size_t>(n));
        }
        Reply reply;
        {
            std::lock_guard lock(m_mutex);
            m_requests.push_back(received.substr(0, length));
            reply = m_default;
            if (!m_replies.empty()) {
                reply = std::move(m_replies.front());
                m_replies.pop_front();
            }
        }
        m_changed.notify_all();
        received.erase(0, length);
        for (const std::string& piece : reply.pieces) {
            SendAll(connection, piece);
        }
        if (reply.then == Then::Close) {
            return;
        }
        if (reply.then == Then::Repeat) {
            Repeat(connection, reply);
            return;
        }
        if (reply.then == Then::Stall) {
            // Hold the connection silent until the client hangs up or we stop.
            while (WaitReadable(connection) && ::recv(connection, buffer, sizeof(buffer), 0) > 0) {
            }
            return;
        }
    }
}

void LoopbackServer::Repeat(int connection, const Reply& reply) const {
    using Clock = std::chrono::steady_clock;
    auto due = Clock::now() + reply.every;
    std::string_view unsent;  // rest of the current repetition
    char buffer[4096];
    for (;;) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
        const bool sending = !unsent.empty() || wait.count() <= 0;
        // Wait until a send is due and the socket takes it; a client that hangs up or
        // the server stopping ends the reply.
        pollfd fds[2] = {{connection, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0},
                         {m_wake[0], POLLIN, 0}};
        if (::poll(fds, 2, sending ? -1 : static_cast<int>(wait.count())) < 0) {
            continue;
        }
        if ((fds[1].revents & POLLIN) != 0 || (fds[0].revents & (POLLERR | POLLHUP)) != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) != 0 &&
            ::recv(connection, buffer, sizeof(buffer), MSG_DONTWAIT) <= 0) {
            return;
        }
        if ((fds[0].revents & POLLOUT) == 0) {
            continue;
        }
        if (unsent.empty()) {
            unsent = reply.repeat;
        }
        const ssize_t n =
            ::send(connection, unsent.data(), unsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN) {
            return;
        }
        unsent.remove_prefix(n < 0 ? 0 : static_cast<std::size_t>(n));
        if (unsent.empty()) {
            due = Clock::now() + reply.every;
        }
    }
}

std::string ReviseEkeyReplyBody(std::string_view result) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope xmlns:soap=\""
           "http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body><ReviseEkeyResponse xmlns=\"" +
           std::string(ServiceNamespaceUri()) + "\"><ReviseEkeyResult>" + std::string(result) +
           "</ReviseEkeyResult></ReviseEkeyResponse></soap:Body></soap:Envelope>";
}

const std::string kSoapServerFaultBody =
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>"
    "<soap:Fault><faultcode>soap:Server</faultcode><faultstring>boom</faultstring></soap:Fault>"
    "</soap:Body></soap:Envelope>";
