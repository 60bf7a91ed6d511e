// The real program ended by SIGTERM, SIGINT and SIGHUP: each runs the exit sequence
// (receiver threads end, the maker's service is started again), and further signals
// while that runs do not cut it short. Runs the real executable on a private
// Xvfb display (with_xvfb.sh) against the private D-Bus systemd mock.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/hid_service.h"
#include "app/main_dlg.h"
#include "platform/system/service_control.h"
#include "station/results_store_sqlite.h"
#include "tests/support/child_process.h"
#include "tests/support/systemd_mock.h"
#include "tools/virtual_kit/virtual_kit.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kStartBound = 20s;  // the program's start, sanitizer builds included

// The real program in a directory of its own, with a runtime directory (the instance
// lock) and a configuration directory of its own, its stderr read line by line.
class Quillon {
public:
    explicit Quillon(std::vector<std::string> args = {}, std::vector<std::string> env = {})
        : m_dir(MakeDir()), m_process(Isolated(Argv(args)), Env(m_dir, env), m_dir) {}
    ~Quillon() {
        m_process.Signal(SIGKILL);
        m_process.Wait(kStartBound);
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    bool WaitForLine(const std::string& line, std::chrono::milliseconds timeout = kStartBound) {
        return m_process.Err().WaitForAnywhere(
            [&](const std::string& l) { return l.find(line) != std::string::npos; }, timeout);
    }
    bool Has(const std::string& line) { return WaitForLine(line, std::chrono::milliseconds(0)); }
    std::string Log() { return m_process.Err().Text(); }
    void Signal(int signo) { m_process.Signal(signo); }
    bool Running() { return m_process.Running(); }
    int WaitExit(std::chrono::milliseconds timeout) { return m_process.Wait(timeout); }
    const std::string& Dir() const { return m_dir; }

private:
    // In a network namespace of its own where one can be made, so a copy running
    // elsewhere on this machine (its abstract socket name) never meets this one. X is
    // still reached through its socket file, the bus through its path.
    static std::vector<std::string> Isolated(std::vector<std::string> argv) {
        static const bool canIsolate = std::system("unshare -rn true 2>/dev/null") == 0;
        if (canIsolate)
            argv.insert(argv.begin(), {"/usr/bin/unshare", "-rn"});
        return argv;
    }
    static std::vector<std::string> Argv(const std::vector<std::string>& args) {
        std::vector<std::string> argv{QUILLON_EXE};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    static std::vector<std::string> Env(const std::string& dir, std::vector<std::string> env) {
        env.insert(env.begin(),
                   {"XDG_RUNTIME_DIR=" + dir + "/run", "XDG_CONFIG_HOME=" + dir + "/config",
                    "XDG_STATE_HOME=" + dir + "/state"});
        return env;
    }
    static std::string MakeDir() {
        std::string templ = (fs::temp_directory_path() / "quillon-sig-XXXXXX").string();
        EXPECT_NE(mkdtemp(templ.data()), nullptr);
        fs::create_directory(templ + "/run");
        fs::permissions(templ + "/run", fs::perms::owner_all);
        fs::create_directory(templ + "/config");
        return templ;
    }

    std::string m_dir;
    ChildProcess m_process;
};

// Presses Return on the window of that name once it is shown; false when none came.
bool AnswerBox(const char* name) {
    const std::string command = std::string("w=$(timeout 20 xdotool search --sync --onlyvisible ") +
                                "--name '^" + name + "$' | head -n1) && [ -n \"$w\" ] && " +
                                "xdotool windowfocus --sync \"$w\" key Return";
    return std::system(command.c_str()) == 0;
}

// Presses Return in the station window (its serial field has the focus).
bool PressReturnInStation() {
    return std::system(
               "w=$(timeout 20 xdotool search --sync --onlyvisible --name "
               "'^Quillon station$' | head -n1) && [ -n \"$w\" ] && "
               "xdotool windowfocus --sync \"$w\" key Return") == 0;
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

// Signals close together, as a closed terminal (the shell forwards SIGHUP, the
// kernel sends SIGHUP and SIGCONT) or a double Ctrl-C sends them: the second comes
// while the exit sequence runs, and the service is started again every time; the
// program ends by the first.
struct SignalBurst {
    const char* name;
    std::vector<int> sequence;  // 5 ms apart
};

class EachSignalBurst : public StopSignalTest, public ::testing::WithParamInterface<SignalBurst> {};

TEST_P(EachSignalBurst, StillStartsTheServiceAgain) {
    const std::vector<int>& sequence = GetParam().sequence;
    constexpr int kRuns = 3;
    for (int run = 1; run <= kRuns; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const std::size_t startsBefore = StartRequests();
        Quillon quillon;
        StartToMainDialog(quillon);
        for (std::size_t i = 0; i < sequence.size(); ++i) {
            if (i > 0)
                std::this_thread::sleep_for(5ms);  // the gap under test, not a wait
            quillon.Signal(sequence[i]);
        }
        const int status = quillon.WaitExit(CMainDlg::kExitWait + kServiceCallTimeout + 2s);
        ASSERT_NE(status, -1) << "still running after the exit bound\n" << quillon.Log();
        // By the first signal that came; on a loaded machine the whole burst can be
        // pending at once, and the kernel then hands out the lowest number first.
        EXPECT_TRUE(WIFSIGNALED(status) &&
                    std::find(sequence.begin(), sequence.end(), WTERMSIG(status)) != sequence.end())
            << "status " << status << "\n"
            << quillon.Log();
        ASSERT_EQ(StartRequests(), startsBefore + 1) << quillon.Log();
        EXPECT_EQ(m_mock->ActiveState(kKeywardenUnit), "active");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bursts, EachSignalBurst,
    ::testing::Values(SignalBurst{"IntInt", {SIGINT, SIGINT}},
                      SignalBurst{"TermInt", {SIGTERM, SIGINT}},
                      SignalBurst{"TerminalClosed", {SIGHUP, SIGHUP, SIGCONT}}),
    [](const ::testing::TestParamInfo<SignalBurst>& param) { return param.param.name; });

// The service manager takes its time over the start at exit and a second signal comes
// meanwhile: the start is still waited for, within that call's own bound, and the
// program then ends by the first signal. It never hangs.
TEST_F(StopSignalTest, SecondSignalWhileTheServiceStartsWaitsOnlyForThatCall) {
    m_mock->OverrideManagerMethod("StartUnit", "ss", "o", "import time; time.sleep(5); ret = '/'");
    Quillon quillon;
    StartToMainDialog(quillon);
    quillon.Signal(SIGTERM);
    // Written just before the service is started.
    ASSERT_TRUE(quillon.WaitForLine("[KEYWARDEN] Receiver threads ended", CMainDlg::kExitWait))
        << quillon.Log();
    ASSERT_TRUE(quillon.Running()) << "the exit did not wait for the service manager";

    quillon.Signal(SIGINT);
    // The restart's round trips before StartUnit are quick here; StartUnit gives up at
    // its time limit.
    const int status = quillon.WaitExit(kServiceCallTimeout + 2s);
    ASSERT_NE(status, -1) << "the program outlived the service call's time limit\n"
                          << quillon.Log();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
    EXPECT_EQ(StartRequests(), 1u);
}

// quillon --station ends by the same exit sequence: idle, and with a unit under test,
// whose run is then recorded ABORTED. The receivers are the virtual kit's, served to
// the program's process.
TEST_F(StopSignalTest, TheStationWindowEndsByTheExitSequenceIdleAndDuringARun) {
    VirtualKit kit(KitNodes::Served);
    kit.PlugIr();
    kit.PlugGame();
    const std::vector<std::string> env{"QUILLON_SYSFS_ROOT=" + kit.Bus().SysRoot(),
                                       "QUILLON_DEV_ROOT=" + kit.Bus().DevRoot()};
    for (const bool during : {false, true}) {
        SCOPED_TRACE(during ? "during a run" : "idle");
        const std::size_t startsBefore = StartRequests();
        Quillon quillon({"--station"}, env);
        ASSERT_TRUE(AnswerBox("Hint")) << quillon.Log();
        ASSERT_TRUE(BoxShown("Quillon station")) << quillon.Log();
        if (during) {
            ASSERT_TRUE(PressReturnInStation()) << quillon.Log();
            ASSERT_TRUE(quillon.WaitForLine("[KEYWARDEN] DispatcherThread Started."))
                << quillon.Log();
            ASSERT_TRUE(
                quillon.WaitForLine("[KEYWARDEN] DispatcherThreadForGameController Started."))
                << quillon.Log();
        }
        quillon.Signal(SIGTERM);
        const int status = quillon.WaitExit(CMainDlg::kExitWait + 2s);
        ASSERT_NE(status, -1) << "still running after the exit bound\n" << quillon.Log();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
        EXPECT_EQ(StartRequests(), startsBefore + 1) << quillon.Log();
        EXPECT_EQ(m_mock->ActiveState(kKeywardenUnit), "active");

        std::vector<RunRecord> runs;
        const std::string path = quillon.Dir() + "/state/quillon/results.sqlite";
        if (fs::exists(path)) {
            std::string error;
            auto store = SqliteResultsStore::Open(path, &error);
            ASSERT_TRUE(store) << error;
            store->Query({}, [&](const RunRecord& r) {
                runs.push_back(r);
                return true;
            });
        }
        if (!during) {
            EXPECT_TRUE(runs.empty());
            continue;
        }
        EXPECT_TRUE(quillon.Has("[KEYWARDEN] DispatcherThread Stopped.")) << quillon.Log();
        ASSERT_EQ(runs.size(), 1u) << quillon.Log();
        EXPECT_EQ(runs[0].outcome, RunOutcome::Aborted);
        EXPECT_EQ(runs[0].why, "the station window was closed");
    }
}

}  // namespace
