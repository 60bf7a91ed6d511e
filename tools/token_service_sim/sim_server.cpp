#include "tools/token_service_sim/sim_server.h"

#include <httplib.h>
#include <sys/socket.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <thread>

namespace quillon::tokensim {

namespace {

constexpr const char* kXmlContentType = "text/xml; charset=utf-8";

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const auto a = static_cast<unsigned char>(text[i]);
        const auto b = static_cast<unsigned char>(prefix[i]);
        if (std::tolower(a) != std::tolower(b)) {
            return false;
        }
    }
    return true;
}

void SendFault(httplib::Response& res, const SoapFault& fault) {
    res.status = 500;
    res.set_content(SoapFaultXml(fault), kXmlContentType);
}

std::string Shown(const std::optional<std::string>& value) {
    return value ? "\"" + *value + "\"" : std::string("nil");
}

}  // namespace

struct SimServer::Impl {
    TokenService& service;
    std::string serviceNs;
    std::FILE* log;
    httplib::Server http;
    int port = -1;
    // httplib ignores a stop() that comes before listening has begun; these let a
    // stop at any moment end Run().
    std::atomic<bool> started{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> ended{false};

    void Log(const std::string& line) {
        if (log != nullptr) {
            std::fprintf(log, "token_service_sim: %s\n", line.c_str());
            std::fflush(log);
        }
    }

    void HandlePost(const httplib::Request& req, httplib::Response& res) {
        if (!StartsWithNoCase(req.get_header_value("Content-Type"), "text/xml")) {
            return SendFault(res, {"Client", "the Content-Type is not text/xml"});
        }
        if (!req.has_header("SOAPAction")) {
            return SendFault(res, {"Client", "the request has no SOAPAction header"});
        }
        const std::string action = req.get_header_value("SOAPAction");
        if (!SoapActionMatches(action, serviceNs)) {
            return SendFault(res, {"Client", "the SOAPAction " + action + " is not " + serviceNs +
                                                 std::string(kOperation)});
        }
        SoapFault fault;
        const auto request = ParseReviseEkeyRequest(req.body, serviceNs, fault);
        if (!request) {
            Log("fault soap:" + fault.code + ": " + fault.message);
            return SendFault(res, fault);
        }
        const TokenService::Answer answer = service.ReviseEkey(*request);
        if (!answer.result) {
            Log("fault soap:Server: " + answer.error);
            return SendFault(res, {"Server", answer.error});
        }
        Log("ReviseEkey ekeysn=" + Shown(request->ekeysn) + " ekeydp1=" + Shown(request->ekeydp1) +
            " ekeydp2=" + Shown(request->ekeydp2) + " -> " + std::to_string(*answer.result));
        res.status = 200;
        res.set_content(ReviseEkeyResponseXml(serviceNs, *answer.result), kXmlContentType);
    }

    void HandleGet(const httplib::Request& req, httplib::Response& res) {
        for (const auto& [key, value] : req.params) {
            if (StartsWithNoCase(key, "wsdl") && key.size() == 4) {
                const std::string location =
                    "http://127.0.0.1:" + std::to_string(port) + std::string(kServicePath);
                res.set_content(ServiceWsdl(serviceNs, location), kXmlContentType);
                return;
            }
        }
        res.set_content("Token service simulator: POST ReviseEkey here; the WSDL is at ?wsdl\n",
                        "text/plain; charset=utf-8");
    }
};

SimServer::SimServer(TokenService& service, std::string serviceNs, std::FILE* log)
    : m_impl(new Impl{service, std::move(serviceNs), log, {}, -1, {}, {}, {}}) {
    Impl& impl = *m_impl;
    const std::string path(kServicePath);
    impl.http.set_payload_max_length(kMaxRequestBytes);
    // Stopping waits for idle keep-alive connections; one call per connection is what
    // the client does, so a short idle time costs nothing and keeps stopping quick.
    impl.http.set_keep_alive_timeout(1);
    // httplib also sets SO_REUSEPORT by default, which would let a second simulator share
    // the port silently; address reuse alone is what a quick restart needs.
    impl.http.set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    impl.http.Post(path, [&impl](const httplib::Request& req, httplib::Response& res) {
        impl.HandlePost(req, res);
    });
    impl.http.Get(path, [&impl](const httplib::Request& req, httplib::Response& res) {
        impl.HandleGet(req, res);
    });
    impl.http.set_exception_handler(
        [&impl](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
            std::string what = "internal error";
            try {
                std::rethrow_exception(ep);
            } catch (const std::exception& e) {
                what += std::string(": ") + e.what();
            } catch (...) {
            }
            impl.Log("fault soap:Server: " + what);
            SendFault(res, {"Server", what});
        });
}

SimServer::~SimServer() = default;

int SimServer::Bind(int port, std::string& error) {
    const char* host = "127.0.0.1";
    errno = 0;
    if (port == 0) {
        m_impl->port = m_impl->http.bind_to_any_port(host);
    } else if (m_impl->http.bind_to_port(host, port)) {
        m_impl->port = port;
    } else {
        m_impl->port = -1;
    }
    if (m_impl->port <= 0) {
        error = "cannot listen on " + std::string(host) + ":" + std::to_string(port);
        if (errno != 0) {
            error += std::string(": ") + std::strerror(errno);
        }
        m_impl->port = -1;
    }
    return m_impl->port;
}

bool SimServer::Run() {
    m_impl->started = true;
    bool ok = true;
    if (!m_impl->stopRequested)
        ok = m_impl->http.listen_after_bind();
    m_impl->ended = true;
    return ok;
}

void SimServer::Stop() {
    m_impl->stopRequested = true;
    if (!m_impl->started)
        return;  // Run() will see the request
    // Run() has begun: wait the moment until httplib says it listens, or Run() ended.
    while (!m_impl->ended) {
        if (m_impl->http.is_running()) {
            m_impl->http.stop();
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace quillon::tokensim
