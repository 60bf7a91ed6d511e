#pragma once

// The token-service simulator (tools/token_service_sim) as a process of its own on
// 127.0.0.1, for the demo, the end-to-end tests and their benchmark: started on any
// free port with its state file where the caller says, stopped with SIGTERM. It also
// ends when the thread that started it ends (the kernel's parent-death signal), so
// start it from a thread that lives as long as it should, such as the main thread.

#include <sys/types.h>

#include <chrono>
#include <string>

class TokenServiceProcess {
public:
    TokenServiceProcess() = default;
    ~TokenServiceProcess() { Stop(); }
    TokenServiceProcess(const TokenServiceProcess&) = delete;
    TokenServiceProcess& operator=(const TokenServiceProcess&) = delete;

    // Runs `exe --state stateFile --port 0 --parent <our pid>` and waits for its
    // "listening on" line.
    // The simulator's log (stderr) goes to `logFile`, or to ours when it is empty.
    // False, with the reason in `error`, when it did not start in time.
    bool Start(const std::string& exe, const std::string& stateFile, const std::string& logFile,
               std::chrono::milliseconds timeout, std::string* error);
    // SIGTERM, then waits for the process; nothing when it is not running.
    void Stop();

    bool Running() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }
    int Port() const { return m_port; }
    // The service's URL on this port.
    std::string Endpoint() const;

private:
    pid_t m_pid = -1;
    int m_stdout = -1;
    int m_port = 0;
};
