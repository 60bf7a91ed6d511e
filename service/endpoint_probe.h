#pragma once

// Whether the token service can be reached, step by step, each step bounded in time:
// the name resolves, a TCP connection opens, and an HTTP request gets an answer. With
// an explicit proxy the first two steps are about the proxy, since that is what the
// client talks to. A failing step ends the probe; the later ones are not tried.
//
// Qt-free and independent of the client's call: a technician learns which of the
// three is broken, where a call only says that it failed.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct ServiceSettings;
struct addrinfo;

// getaddrinfo's shape, for a test to put a resolver of its own (one that stalls) in
// its place. Runs on the lookup's own thread, and may outlive the probe.
using ProbeResolver = std::function<int(const std::string& host, const std::string& service,
                                        const addrinfo* hints, addrinfo** found)>;

struct ProbeTimeouts {
    std::chrono::milliseconds resolve{3000};
    std::chrono::milliseconds connect{3000};
    std::chrono::milliseconds http{5000};
};

struct ProbeStep {
    bool tried = false;
    bool ok = false;
    std::chrono::milliseconds took{0};
    std::string detail;  // the addresses, the peer, the status line; or what failed
};

struct EndpointProbe {
    std::string host;  // what the first two steps are about (the proxy, if one is set)
    std::uint16_t port = 0;
    bool viaProxy = false;
    ProbeStep resolve;
    ProbeStep connect;
    ProbeStep http;
    long httpStatus = 0;
};

// `resolver` empty: getaddrinfo(3).
EndpointProbe ProbeEndpoint(const ServiceSettings& settings, const ProbeTimeouts& timeouts = {},
                            const ProbeResolver& resolver = {});
