#include "service/endpoint_probe.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "service/http_transport.h"
#include "service/service_config.h"

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds Since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

std::string SecondsText(std::chrono::milliseconds d) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", static_cast<double>(d.count()) / 1000.0);
    return text;
}

std::string AddressText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                    sizeof text);
    else if (address->sa_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
                    sizeof text);
    return text;
}

// What a lookup found, shared by the prober and the lookup's thread.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    int error = 0;
    addrinfo* result = nullptr;
};

// The lookup runs on a thread of its own, so that a resolver that does not answer
// costs `limit` and no more; a lookup left behind ends by the resolver's own
// time-outs and frees what it found.
addrinfo* Resolve(const std::string& host, std::uint16_t port, std::chrono::milliseconds limit,
                  const ProbeResolver& resolver, ProbeStep* step) {
    step->tried = true;
    const auto start = Clock::now();
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, host, service = std::to_string(port), resolver] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* found = nullptr;
            const int error = resolver
                                  ? resolver(host, service, &hints, &found)
                                  : ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
            const std::lock_guard lock(lookup->mutex);
            if (lookup->abandoned) {
                if (error == 0)
                    ::freeaddrinfo(found);
                return;
            }
            lookup->error = error;
            lookup->result = error == 0 ? found : nullptr;
            lookup->finished = true;
            lookup->done.notify_one();
        }).detach();
    } catch (const std::system_error&) {
        step->detail = "cannot start the lookup";
        return nullptr;
    }
    std::unique_lock lock(lookup->mutex);
    const bool finished =
        lookup->done.wait_until(lock, start + limit, [&] { return lookup->finished; });
    step->took = Since(start);
    if (!finished) {
        lookup->abandoned = true;
        step->detail = "no answer from the resolver within " + SecondsText(limit);
        return nullptr;
    }
    const int r = lookup->error;
    addrinfo* result = lookup->result;
    if (r != 0) {
        step->detail = ::gai_strerror(r);
        return nullptr;
    }
    std::string addresses;
    for (const addrinfo* a = result; a != nullptr; a = a->ai_next) {
        const std::string text = AddressText(a->ai_addr);
        if (addresses.find(text) == std::string::npos)
            addresses += (addresses.empty() ? "" : ", ") + text;
    }
    step->ok = true;
    step->detail = addresses;
    return result;
}

// Each address in turn, non-blocking, within one limit for all.
void Connect(const addrinfo* addresses, std::chrono::milliseconds limit, ProbeStep* step) {
    step->tried = true;
    const auto start = Clock::now();
    const auto deadline = start + limit;
    std::string failures;
    for (const addrinfo* a = addresses; a != nullptr; a = a->ai_next) {
        const int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        int error = 0;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                pollfd p{fd, POLLOUT, 0};
                if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) {
                    error = ETIMEDOUT;
                } else {
                    socklen_t length = sizeof error;
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
                }
            }
        }
        ::close(fd);
        const std::string peer = AddressText(a->ai_addr);
        if (error == 0) {
            step->ok = true;
            step->took = Since(start);
            step->detail = peer;
            return;
        }
        failures += (failures.empty() ? "" : "; ") + peer + ": " +
                    (error == ETIMEDOUT ? "no answer within " + SecondsText(limit)
                                        : std::string(std::strerror(error)));
        if (Clock::now() >= deadline)
            break;
    }
    step->took = Since(start);
    step->detail = failures.empty() ? "no address to connect to" : failures;
}

std::size_t Discard(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

void Http(const ServiceSettings& settings, std::chrono::milliseconds limit, ProbeStep* step,
          long* status) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    step->tried = true;
    CURL* easy = curl_easy_init();
    if (easy == nullptr) {
        step->detail = "cannot create a transfer";
        return;
    }
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(easy, CURLOPT_URL, settings.endpoint.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(limit.count()));
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Discard);
    const std::string proxy = settings.proxyHost.empty() ? std::string()
                                                         : "http://" + settings.proxyHost + ":" +
                                                               std::to_string(settings.proxyPort);
    if (!proxy.empty())
        curl_easy_setopt(easy, CURLOPT_PROXY, proxy.c_str());
    const auto start = Clock::now();
    const CURLcode r = curl_easy_perform(easy);
    step->took = Since(start);
    if (r == CURLE_OK) {
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, status);
        step->ok = true;
        step->detail = "HTTP " + std::to_string(*status);
    } else {
        step->detail = error[0] != '\0' ? error : curl_easy_strerror(r);
    }
    curl_easy_cleanup(easy);
}

}  // namespace

EndpointProbe ProbeEndpoint(const ServiceSettings& settings, const ProbeTimeouts& timeouts,
                            const ProbeResolver& resolver) {
    EndpointProbe probe;
    EndpointUrl url;
    if (!SplitEndpointUrl(settings.endpoint, url)) {
        probe.resolve.tried = true;
        probe.resolve.detail = "the endpoint is not a URL the client can use";
        return probe;
    }
    probe.viaProxy = !settings.proxyHost.empty();
    probe.host = probe.viaProxy ? settings.proxyHost : url.hostName;
    probe.port = probe.viaProxy ? settings.proxyPort : url.port;
    if (probe.port == 0)
        probe.port = url.scheme == URL_SCHEME_HTTPS ? 443 : 80;
    // A bracketed IPv6 literal resolves without its brackets.
    std::string host = probe.host;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);

    addrinfo* addresses = Resolve(host, probe.port, timeouts.resolve, resolver, &probe.resolve);
    if (addresses == nullptr)
        return probe;
    Connect(addresses, timeouts.connect, &probe.connect);
    ::freeaddrinfo(addresses);
    if (!probe.connect.ok)
        return probe;
    Http(settings, timeouts.http, &probe.http, &probe.httpStatus);
    return probe;
}
