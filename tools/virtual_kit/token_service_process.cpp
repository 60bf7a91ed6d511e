#include "tools/virtual_kit/token_service_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

extern char** environ;

namespace {

constexpr std::string_view kListening = "listening on 127.0.0.1:";

}  // namespace

bool TokenServiceProcess::Start(const std::string& exe, const std::string& stateFile,
                                const std::string& logFile, std::chrono::milliseconds timeout,
                                std::string* error) {
    Stop();
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    // posix_spawn rather than fork: the callers have threads running.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (!logFile.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logFile.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
    }
    // It ends with us, even when we are killed outright.
    std::vector<std::string> args = {
        exe, "--state", stateFile, "--port", "0", "--parent", std::to_string(::getpid())};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // Its own process group: a Ctrl-C in the terminal is for the program that started
    // it, which stops it in its own time.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, exe.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        *error = "cannot start " + exe + ": " + std::strerror(spawned);
        return false;
    }
    m_pid = pid;
    m_stdout = out[0];

    // The line comes once the server accepts connections; nothing is guessed.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string line;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            *error = "token_service_sim did not say it was listening in time";
            Stop();
            return false;
        }
        pollfd p{m_stdout, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;
        char c = 0;
        const ssize_t n = ::read(m_stdout, &c, 1);
        if (n <= 0) {
            *error = "token_service_sim ended before it was listening (see its log)";
            Stop();
            return false;
        }
        if (c != '\n') {
            line.push_back(c);
            continue;
        }
        if (line.rfind(kListening, 0) == 0) {
            m_port = std::atoi(line.c_str() + kListening.size());
            if (m_port > 0)
                return true;
        }
        line.clear();
    }
}

void TokenServiceProcess::Stop() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
    }
    if (m_stdout >= 0) {
        ::close(m_stdout);
        m_stdout = -1;
    }
    m_port = 0;
}

std::string TokenServiceProcess::Endpoint() const {
    return "http://127.0.0.1:" + std::to_string(m_port) + "/keluserandhardwareservice.asmx";
}
