#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <string_view>

extern char** environ;

LineReader::LineReader(int fd) : m_thread([this, fd] { Read(fd); }) {}

LineReader::~LineReader() {
    Join();
}

void LineReader::Join() {
    if (m_thread.joinable())
        m_thread.join();
}

void LineReader::Read(int fd) {
    std::string partial;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) {
        partial.append(buf, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = partial.find('\n')) != std::string::npos) {
            {
                std::lock_guard lock(m_mutex);
                m_lines.push_back(partial.substr(0, end));
            }
            m_changed.notify_all();
            partial.erase(0, end + 1);
        }
    }
    {
        std::lock_guard lock(m_mutex);
        if (!partial.empty())
            m_lines.push_back(partial);
    }
    m_changed.notify_all();
    ::close(fd);
}

bool LineReader::WaitFor(const Match& match, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] {
        for (; m_checked < m_lines.size(); ++m_checked) {
            if (match(m_lines[m_checked])) {
                ++m_checked;
                return true;
            }
        }
        return false;
    });
}

bool LineReader::WaitForAnywhere(const Match& match, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout,
                              [&] { return std::any_of(m_lines.begin(), m_lines.end(), match); });
}

std::vector<std::string> LineReader::Lines() const {
    std::lock_guard lock(m_mutex);
    return m_lines;
}

std::string LineReader::Text() const {
    std::string all;
    for (const std::string& line : Lines())
        all += line + "\n";
    return all;
}

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& given) {
    // The source texts, whatever language the developer or the CI runs in.
    std::vector<std::string> env = given;
    for (const char* pin : {"LANGUAGE=", "LC_ALL=C.UTF-8"}) {
        const std::string_view name(pin, std::string_view(pin).find('=') + 1);
        if (std::none_of(given.begin(), given.end(),
                         [&](const std::string& mine) { return mine.starts_with(name); }))
            env.emplace_back(pin);
    }
    // getenv(3) takes the first entry of a name, so a caller's XDG_CONFIG_HOME would
    // otherwise win over the test's.
    std::vector<std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view entry(*e);
        const std::string_view name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string& mine : env)
            replaced = replaced || mine.starts_with(name);
        if (!replaced)
            merged.emplace_back(entry);
    }
    merged.insert(merged.end(), env.begin(), env.end());
    return merged;
}

ChildProcess::ChildProcess(std::vector<std::string> argv, const std::vector<std::string>& env,
                           const std::string& cwd) {
    int out[2], err[2], in[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0 ||
        ::pipe2(in, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    if (!cwd.empty())
        posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    std::vector<std::string> envStrings = ChildEnvironment(env);
    std::vector<char*> args, envp;
    for (std::string& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    for (std::string& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const int spawned = ::posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    ::close(in[0]);
    m_stdin = in[1];
    m_out = std::make_unique<LineReader>(out[0]);
    m_err = std::make_unique<LineReader>(err[0]);
    if (spawned != 0) {
        m_pid = -1;
        ::close(m_stdin);
        m_stdin = -1;
        throw std::runtime_error("cannot start " + argv[0]);
    }
    m_pidfd = static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0));
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    if (m_stdin >= 0)
        ::close(m_stdin);
    if (m_pidfd >= 0)
        ::close(m_pidfd);
}

void ChildProcess::Signal(int signo) {
    if (m_pid > 0)
        ::kill(m_pid, signo);
}

bool ChildProcess::Running() const {
    pollfd p{m_pidfd, POLLIN, 0};
    return m_pid > 0 && ::poll(&p, 1, 0) == 0;
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (m_pid <= 0)
        return -1;
    pollfd p{m_pidfd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1)
        return -1;
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    if (m_stdin >= 0) {
        ::close(m_stdin);
        m_stdin = -1;
    }
    m_out->Join();
    m_err->Join();
    return status;
}

int ChildProcess::Exit(std::chrono::milliseconds timeout) {
    const int status = Wait(timeout);
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
