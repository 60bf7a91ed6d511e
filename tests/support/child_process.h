#pragma once

// A program the test runs as a process of its own: its stdout and stderr are read into
// lines on threads of their own, its end is waited for through a pidfd, and whatever
// is left of it is killed when the object goes.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// For what normally takes milliseconds: generous, for sanitizer builds on busy machines.
inline constexpr std::chrono::milliseconds kChildBound{20000};

class LineReader {
public:
    explicit LineReader(int fd);  // takes the descriptor
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    using Match = std::function<bool(const std::string&)>;
    // The next matching line after the last one this matched (events in order).
    bool WaitFor(const Match& match, std::chrono::milliseconds timeout = kChildBound);
    // Any line, read or still to come (events of no fixed order).
    bool WaitForAnywhere(const Match& match, std::chrono::milliseconds timeout = kChildBound);
    std::vector<std::string> Lines() const;
    std::string Text() const;  // the lines, each ended by "\n"
    // Returns once the stream has ended.
    void Join();

private:
    void Read(int fd);

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_lines;
    std::size_t m_checked = 0;
    std::thread m_thread;
};

// This process's environment with `env` ("NAME=value") in it, each entry replacing
// an inherited one of the same name. The language is pinned to the source texts
// (LANGUAGE empty, LC_ALL=C.UTF-8) unless `env` names its own.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& env);

class ChildProcess {
public:
    // `env` entries ("NAME=value") are added to this process's environment, over
    // those of the same name (ChildEnvironment); `cwd` empty: this process's.
    explicit ChildProcess(std::vector<std::string> argv, const std::vector<std::string>& env = {},
                          const std::string& cwd = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    LineReader& Out() { return *m_out; }
    LineReader& Err() { return *m_err; }
    void Signal(int signo);
    bool Running() const;
    // The wait status, or -1 when it did not end within `timeout`. Its stdin is closed
    // then, so a child it left behind and that shares its output ends too.
    int Wait(std::chrono::milliseconds timeout = kChildBound);
    // The exit status, or -1 (not ended in time, or ended by a signal).
    int Exit(std::chrono::milliseconds timeout = kChildBound);

private:
    pid_t m_pid = -1;
    int m_pidfd = -1;
    int m_stdin = -1;
    std::unique_ptr<LineReader> m_out;
    std::unique_ptr<LineReader> m_err;
};
