#include "platform/process/stop_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

int g_pipe[2] = {-1, -1};
std::atomic<int> g_first{0};
std::atomic<int> g_count{0};
std::atomic<bool> g_repeatedEndsAtOnce{true};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "used from a signal handler");

// Only async-signal-safe calls here.
void OnStopSignal(int signo) {
    const int savedErrno = errno;
    if (g_count.fetch_add(1) > 0) {
        if (!g_repeatedEndsAtOnce.load()) {
            errno = savedErrno;
            return;
        }
        // The exit sequence is already running and the user insists.
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, signo);
        ::signal(signo, SIG_DFL);
        ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        ::raise(signo);
        ::_exit(128 + signo);
    }
    g_first.store(signo);
    const char byte = static_cast<char>(signo);
    // Non-blocking: a full pipe already says what this byte would.
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = savedErrno;
}

}  // namespace

bool InstallStopSignals(std::string* error, RepeatedStopSignal repeated) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    g_repeatedEndsAtOnce.store(repeated == RepeatedStopSignal::EndsAtOnce);
    if (g_pipe[0] >= 0)
        return true;
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    struct sigaction action {};
    action.sa_handler = &OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signo : kStopSignals)
        sigaddset(&action.sa_mask, signo);
    action.sa_flags = SA_RESTART;
    for (int signo : kStopSignals) {
        struct sigaction old {};
        // A signal ignored by whoever started us (nohup, a shell's background job)
        // stays ignored, as the user asked.
        if (::sigaction(signo, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        if (::sigaction(signo, &action, nullptr) != 0) {
            *error = std::string("sigaction: ") + std::strerror(errno);
            return false;
        }
    }
    // A program started with these blocked (some launchers do) would never see them.
    sigset_t set;
    sigemptyset(&set);
    for (int signo : kStopSignals)
        sigaddset(&set, signo);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return true;
}

int StopSignalFd() {
    return g_pipe[0];
}

int TakeStopSignal() {
    if (g_pipe[0] >= 0) {
        char buffer[16];
        while (::read(g_pipe[0], buffer, sizeof buffer) > 0) {
        }
    }
    return g_first.load();
}

int StopSignalReceived() {
    return g_first.load();
}

int StopSignalCount() {
    return g_count.load();
}

void EndByStopSignal() {
    const int signo = g_first.load();
    if (signo == 0)
        return;
    ::signal(signo, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signo);
    ::_exit(128 + signo);
}

StopSignalsHeldBack::StopSignalsHeldBack() {
    sigset_t set;
    sigemptyset(&set);
    for (int signo : kStopSignals)
        sigaddset(&set, signo);
    ::pthread_sigmask(SIG_BLOCK, &set, &m_old);
}

StopSignalsHeldBack::~StopSignalsHeldBack() {
    ::pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
}
