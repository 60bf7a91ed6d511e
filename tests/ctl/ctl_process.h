#pragma once

// A child process for the terminal program's tests: its stdout and stderr read into
// lines on threads of their own, its stdin kept open, its end waited for with a bound.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace ctltest {

using namespace std::chrono_literals;

inline constexpr auto kBound = 20s;  // for things that normally take milliseconds

// One stream of a child, read on a thread into lines.
class LineReader {
public:
    explicit LineReader(int fd) : m_thread([this, fd] { Read(fd); }) {}
    ~LineReader() { Join(); }
    bool WaitFor(const std::function<bool(const std::string&)>& match,
                 std::chrono::milliseconds timeout = kBound) {
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
    // Any line so far or to come, wherever it is (for events of no fixed order).
    bool WaitForAnywhere(const std::function<bool(const std::string&)>& match,
                         std::chrono::milliseconds timeout = kBound) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(
            lock, timeout, [&] { return std::any_of(m_lines.begin(), m_lines.end(), match); });
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    std::string Text() {
        std::string all;
        for (const std::string& l : Lines())
            all += l + "\n";
        return all;
    }
    void Join() {
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    void Read(int fd) {
        std::string partial;
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) {
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
        if (!partial.empty()) {
            std::lock_guard lock(m_mutex);
            m_lines.push_back(partial);
        }
        m_changed.notify_all();
        close(fd);
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_lines;
    std::size_t m_checked = 0;
    std::thread m_thread;
};

// A running quillonctl (or any command), with its own environment additions.
class Process {
public:
    // `env` entries are added to this process's environment; `dir` is the child's
    // working directory ("" this one's).
    Process(std::vector<std::string> args, const std::vector<std::string>& env,
            const std::string& dir = "") {
        int out[2], err[2], in[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        if (!dir.empty())
            posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
        std::vector<std::string> envStrings;
        for (char** e = environ; *e != nullptr; ++e)
            envStrings.emplace_back(*e);
        envStrings.insert(envStrings.end(), env.begin(), env.end());
        std::vector<char*> argv, envp;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (std::string& e : envStrings)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0)
            << argv[0];
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        close(in[0]);
        m_stdin = in[1];
        m_pidfd = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
        out_ = std::make_unique<LineReader>(out[0]);
        err_ = std::make_unique<LineReader>(err[0]);
    }
    ~Process() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_stdin >= 0)
            close(m_stdin);
        if (m_pidfd >= 0)
            close(m_pidfd);
    }
    LineReader& Out() { return *out_; }
    LineReader& Err() { return *err_; }
    void Signal(int signo) { kill(m_pid, signo); }
    bool Running() {
        pollfd p{m_pidfd, POLLIN, 0};
        return m_pid > 0 && poll(&p, 1, 0) == 0;
    }
    // The wait status, or -1 when it did not end within `timeout`.
    int Wait(std::chrono::milliseconds timeout = kBound) {
        pollfd p{m_pidfd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) != 1)
            return -1;
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        // A child it left behind may still hold its output: stdin's end is its cue.
        if (m_stdin >= 0) {
            close(m_stdin);
            m_stdin = -1;
        }
        out_->Join();
        err_->Join();
        return status;
    }
    // The exit status, or -1.
    int Exit(std::chrono::milliseconds timeout = kBound) {
        const int status = Wait(timeout);
        return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t m_pid = -1;
    int m_pidfd = -1;
    int m_stdin = -1;
    std::unique_ptr<LineReader> out_;
    std::unique_ptr<LineReader> err_;
};

}  // namespace ctltest
