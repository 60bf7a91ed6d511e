// The real program ended by SIGTERM, SIGINT and SIGHUP: each runs the exit sequence
// (receiver threads end, the maker's service is started again), and a second signal
// while that runs ends the program at once. Runs the real executable on a private
// Xvfb display (with_xvfb.sh) against the private D-Bus systemd mock.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/hid_service.h"
#include "app/main_dlg.h"
#include "platform/service_control.h"
#include "tests/platform/systemd_mock.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kStartBound = 20s;  // the program's start, sanitizer builds included

// The real program in a directory of its own, its stderr read line by line.
class Quillon {
public:
    Quillon() {
        std::string templ = (fs::temp_directory_path() / "quillon-sig-XXXXXX").string();
        EXPECT_NE(mkdtemp(templ.data()), nullptr);
        m_dir = templ;
        fs::create_directory(m_dir + "/run");
        fs::permissions(m_dir + "/run", fs::perms::owner_all);
        setenv("XDG_RUNTIME_DIR", (m_dir + "/run").c_str(), 1);

        int err[2];
        EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        posix_spawn_file_actions_addchdir_np(&actions, m_dir.c_str());
        char* argv[] = {const_cast<char*>(QUILLON_EXE), nullptr};
        EXPECT_EQ(posix_spawn(&m_pid, QUILLON_EXE, &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(err[1]);
        m_pidfd = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
        m_reader = std::thread([this, fd = err[0]] { Read(fd); });
    }
    ~Quillon() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        m_reader.join();
        if (m_pidfd >= 0)
            close(m_pidfd);
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    bool WaitForLine(const std::string& line, std::chrono::milliseconds timeout = kStartBound) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return HasLocked(line); });
    }
    bool Has(const std::string& line) {
        std::lock_guard lock(m_mutex);
        return HasLocked(line);
    }
    std::string Log() {
        std::lock_guard lock(m_mutex);
        std::string all;
        for (const std::string& l : m_lines)
            all += l + "\n";
        return all;
    }

    void Signal(int signo) { kill(m_pid, signo); }
    // True while the process has not ended.
    bool Running() {
        pollfd p{m_pidfd, POLLIN, 0};
        return poll(&p, 1, 0) == 0;
    }
    // The wait status once the process ended, or -1 after `timeout`.
    int WaitExit(std::chrono::milliseconds timeout) {
        pollfd p{m_pidfd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) != 1)
            return -1;
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return status;
    }

private:
    bool HasLocked(const std::string& line) const {
        for (const std::string& l : m_lines) {
            if (l.find(line) != std::string::npos)
                return true;
        }
        return false;
    }
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
        close(fd);
    }

    std::string m_dir;
    pid_t m_pid = -1;
    int m_pidfd = -1;
    std::thread m_reader;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_lines;
};

// Presses Return on the window of that name once it is shown; false when none came.
bool AnswerBox(const char* name) {
    const std::string command = std::string("w=$(timeout 20 xdotool search --sync --onlyvisible ") +
                                "--name '^" + name + "$' | head -n1) && [ -n \"$w\" ] && " +
                                "xdotool windowfocus --sync \"$w\" key Return";
    return std::system(command.c_str()) == 0;
}

bool BoxShown(const char* name) {
    const std::string command = std::string("timeout 20 xdotool search --sync --onlyvisible ") +
                                "--name '^" + name + "$' >/dev/null";
    return std::system(command.c_str()) == 0;
}

class StopSignalTest : public SystemdMockTest {
protected:
    void SetUp() override {
        SystemdMockTest::SetUp();
        if (IsSkipped())
            return;
        if (std::system("command -v xdotool >/dev/null") != 0)
            GTEST_SKIP() << "xdotool is not installed";
        m_mock->AddUnit(kKeywardenUnit, "active");
    }

    // Service requests the mock has seen for the unit.
    std::size_t StartRequests() { return m_mock->Calls("StartUnit").size(); }
    std::size_t StopRequests() { return m_mock->Calls("StopUnit").size(); }

    // Up to the main dialog with both receiver threads running.
    static void StartToMainDialog(Quillon& quillon) {
        ASSERT_TRUE(AnswerBox("Hint")) << quillon.Log();
        ASSERT_TRUE(quillon.WaitForLine("[KEYWARDEN] DispatcherThread Started.")) << quillon.Log();
        ASSERT_TRUE(quillon.WaitForLine("[KEYWARDEN] DispatcherThreadForGameController Started."))
            << quillon.Log();
    }
};

class EachStopSignal : public StopSignalTest, public ::testing::WithParamInterface<int> {};

TEST_P(EachStopSignal, RunsTheExitSequenceAndEndsByTheSignal) {
    const int signo = GetParam();
    Quillon quillon;
    StartToMainDialog(quillon);
    ASSERT_EQ(StopRequests(), 1u);
    ASSERT_EQ(StartRequests(), 0u);

    quillon.Signal(signo);
    const int status = quillon.WaitExit(CMainDlg::kExitWait + 2s);
    ASSERT_NE(status, -1) << "still running after the exit bound\n" << quillon.Log();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signo) << "status " << status;
    const std::string log = quillon.Log();
    EXPECT_TRUE(quillon.Has("[KEYWARDEN] DispatcherThread Stopped.")) << log;
    EXPECT_TRUE(quillon.Has("[KEYWARDEN] DispatcherThreadForGameController Stopped.")) << log;
    EXPECT_TRUE(quillon.Has("[KEYWARDEN] Receiver threads ended")) << log;
    EXPECT_EQ(StartRequests(), 1u);
    EXPECT_EQ(m_mock->ActiveState(kKeywardenUnit), "active");
}

INSTANTIATE_TEST_SUITE_P(Signals, EachStopSignal, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& param) {
                             return std::string(sigabbrev_np(param.param));
                         });

// The service was stopped and its box is up: leaving from there still starts it again.
TEST_F(StopSignalTest, DuringTheStartBoxTheServiceIsStartedAgain) {
    Quillon quillon;
    ASSERT_TRUE(BoxShown("Hint")) << quillon.Log();
    quillon.Signal(SIGTERM);
    const int status = quillon.WaitExit(CMainDlg::kExitWait + 2s);
    ASSERT_NE(status, -1) << quillon.Log();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
    EXPECT_FALSE(quillon.Has("DispatcherThread Started.")) << quillon.Log();
    EXPECT_EQ(StartRequests(), 1u);
}

// The service manager takes its time over the start at exit; a second signal then
// ends the program at once, by that signal.
TEST_F(StopSignalTest, SecondSignalWhileExitingEndsAtOnce) {
    m_mock->OverrideManagerMethod("StartUnit", "ss", "o", "import time; time.sleep(5); ret = '/'");
    Quillon quillon;
    StartToMainDialog(quillon);
    quillon.Signal(SIGTERM);
    // Written just before the service is started.
    ASSERT_TRUE(quillon.WaitForLine("[KEYWARDEN] Receiver threads ended", CMainDlg::kExitWait))
        << quillon.Log();
    ASSERT_TRUE(quillon.Running()) << "the exit did not wait for the service manager";

    const auto sent = Clock::now();
    quillon.Signal(SIGINT);
    const int status = quillon.WaitExit(kServiceCallTimeout);
    const auto took = Clock::now() - sent;
    ASSERT_NE(status, -1) << "the second signal did not end the program";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "status " << status;
    EXPECT_LT(took, 1s);
}

}  // namespace
