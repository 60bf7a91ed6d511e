#pragma once

// HTTP side of the simulator: ReviseEkey by POST and the WSDL by GET ?wsdl, on
// 127.0.0.1 only. cpp-httplib stays inside sim_server.cpp.

#include <cstdio>
#include <memory>
#include <string>

#include "tools/token_service_sim/token_service.h"

namespace quillon::tokensim {

class SimServer {
public:
    // `log` gets one line per call; null for none. It must outlive the server.
    SimServer(TokenService& service, std::string serviceNs, std::FILE* log);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Binds 127.0.0.1:port (0: any free port). Returns the port, or -1 with `error` set.
    int Bind(int port, std::string& error);
    // Serves until Stop(); false when serving could not start.
    bool Run();
    // Any thread, any time after Bind().
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace quillon::tokensim
