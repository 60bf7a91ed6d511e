// quillonctl as a real process against the virtual kit and the token-service
// simulator: exit statuses, JSON read back, watch's events and its end on SIGINT,
// verify's and calibrate's verdicts, the configuration file.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/ctl/ctl_process.h"
#include "tests/support/demo_recording.h"
#include "tools/virtual_kit/token_service_process.h"
#include "tools/virtual_kit/virtual_kit.h"
#include "tools/virtual_kit/virtual_remote.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace ctltest;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

std::int64_t NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A program with its stderr, and its stdout unless `stdoutToPipe`, on a terminal of
// its own: what the terminal showed, what the pipe got, and the wait status.
struct OnPty {
    int status = -1;
    std::string tty;
    std::string out;
};
OnPty RunOnPty(const std::vector<std::string>& args, const std::vector<std::string>& env,
               bool stdoutToPipe) {
    OnPty result;
    int master = -1;
    int slave = -1;
    winsize size{24, 200, 0, 0};
    if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) {
        ADD_FAILURE() << "openpty: " << std::strerror(errno);
        return result;
    }
    int pipeFds[2] = {-1, -1};
    if (stdoutToPipe && pipe2(pipeFds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        return result;
    }
    // Built before the fork: the child only execs.
    std::vector<std::string> environment = ChildEnvironment(env);
    std::vector<char*> envp;
    for (std::string& e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argvStrings = args;
    std::vector<char*> argv;
    for (std::string& a : argvStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        const int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, 0);
        dup2(stdoutToPipe ? pipeFds[1] : slave, 1);
        dup2(slave, 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(slave);
    if (stdoutToPipe)
        close(pipeFds[1]);
    const auto deadline = Clock::now() + kBound;
    bool ttyOpen = true;
    bool pipeOpen = stdoutToPipe;
    char buffer[4096];
    while ((ttyOpen || pipeOpen) && Clock::now() < deadline) {
        pollfd fds[2] = {{master, POLLIN, 0}, {pipeFds[0], POLLIN, 0}};
        if (poll(fds, pipeOpen ? 2 : 1, 200) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (i == 0 ? !ttyOpen : !pipeOpen)
                continue;
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                continue;
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0)
                (i == 0 ? result.tty : result.out).append(buffer, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR)
                (i == 0 ? ttyOpen : pipeOpen) = false;  // EIO: the last writer is gone
        }
    }
    if (ttyOpen || pipeOpen)
        kill(pid, SIGKILL);
    waitpid(pid, &result.status, 0);
    close(master);
    if (stdoutToPipe)
        close(pipeFds[0]);
    return result;
}

class QuillonctlTest : public ::testing::Test {
protected:
    // The kit's tree and a configuration directory of the test's own.
    std::vector<std::string> Env() const {
        std::vector<std::string> env = m_home.Env();
        env.push_back("QUILLON_SYSFS_ROOT=" + kit->Bus().SysRoot());
        env.push_back("QUILLON_DEV_ROOT=" + kit->Bus().DevRoot());
        return env;
    }
    // quillonctl with stdout on `out` (-1: closed) and stderr into a file of the
    // test's; the caller reaps it with WaitRaw.
    struct RawChild {
        pid_t pid = -1;
        int pidfd = -1;
        std::string errPath;
    };
    RawChild SpawnRaw(std::vector<std::string> args, int out) {
        RawChild child;
        child.errPath = m_home.dir + "/stderr-" + std::to_string(++m_spawned);
        args.insert(args.begin(), QUILLONCTL_EXE);
        std::vector<std::string> env = ChildEnvironment(Env());
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        if (out < 0)
            posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
        else
            posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, child.errPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        // Nothing else of the test's (the kit's sockets among it) goes with it.
        posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
        EXPECT_EQ(posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        child.pidfd = static_cast<int>(syscall(SYS_pidfd_open, child.pid, 0));
        EXPECT_GE(child.pidfd, 0);
        return child;
    }
    // The wait status, or -1 when it had not ended within `timeout` (it is killed then).
    static int WaitRaw(RawChild& child, std::chrono::milliseconds timeout) {
        pollfd p{child.pidfd, POLLIN, 0};
        int status = -1;
        if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) {
            syscall(SYS_pidfd_send_signal, child.pidfd, SIGKILL, nullptr, 0);
            waitpid(child.pid, nullptr, 0);
        } else {
            waitpid(child.pid, &status, 0);
        }
        close(child.pidfd);
        return status;
    }
    static std::vector<std::string> FileLines(const std::string& path) {
        std::ifstream in(path);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    std::unique_ptr<ChildProcess> Ctl(std::vector<std::string> args, bool dropDacOverride = false) {
        args.insert(args.begin(), QUILLONCTL_EXE);
        // Root opens whatever the mode says; without these capabilities it is held to
        // the modes as any user is.
        if (dropDacOverride && geteuid() == 0) {
            args.insert(args.begin(),
                        {"/usr/bin/setpriv", "--bounding-set=-dac_override,-dac_read_search"});
        }
        return std::make_unique<ChildProcess>(args, Env());
    }
    static Json JsonOf(const LineReader& out) {
        const std::string text = out.Text();
        Json json = Json::parse(text, nullptr, false);
        EXPECT_FALSE(json.is_discarded()) << text;
        return json;
    }

    // A simulator on a free port; `bound` marks the demo token bound first.
    bool StartSimulator(bool bound = false) {
        const std::string state = m_home.dir + "/token-state.txt";
        if (bound) {
            ChildProcess bind({QUILLON_TOKEN_SIM, "--state", state, "--bind", "123456789"}, {});
            EXPECT_EQ(bind.Exit(kBound), 0) << bind.Err().Text();
        }
        std::string error;
        const bool ok =
            sim.Start(QUILLON_TOKEN_SIM, state, m_home.dir + "/sim.log", kBound, &error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }
    std::string Endpoint() const { return "--endpoint=" + sim.Endpoint(); }
    static std::string ClosedEndpoint() {
        return "--endpoint=http://127.0.0.1:1/keluserandhardwareservice.asmx";
    }

    CtlHome m_home{"quillonctl"};
    int m_spawned = 0;
    std::unique_ptr<VirtualKit> kit = std::make_unique<VirtualKit>();
    std::atomic<std::int64_t> clock{NowSeconds()};
    TokenServiceProcess sim;
};

// Present, absent, denied and held, through list and check, as data and as statuses.
TEST_F(QuillonctlTest, ListAndCheckTellEachStateOfTheReceivers) {
    VirtualHidBus& bus = kit->Bus();
    {
        auto check = Ctl({"check", "--json"});
        EXPECT_EQ(check->Exit(kBound), 2);
        const Json json = JsonOf(check->Out());
        EXPECT_EQ(json["receivers"][0]["state"], "absent");
        EXPECT_EQ(json["receivers"][0]["status_text"], "红外接收器设备未找到");
        EXPECT_EQ(json["exit_status"], 2);
        auto all = Ctl({"list", "--all", "--json"});
        EXPECT_EQ(all->Exit(kBound), 0);
        const Json nodes = JsonOf(all->Out())["nodes"];
        ASSERT_EQ(nodes.size(), 1u);  // the kit's keyboard
        EXPECT_EQ(nodes[0]["vendor"], "046d");
        EXPECT_EQ(nodes[0]["role"], "not-kit");
    }

    // Plain-file nodes: they open and lock as hidraw nodes do.
    bus.AddDevice(3, OrvaneUevent(), kIrReceiverDescriptor);
    bus.AddDevice(4, OrvaneUevent(), kGamePadDescriptor);
    {
        auto check = Ctl({"check"});
        EXPECT_EQ(check->Exit(kBound), 0);
        EXPECT_EQ(check->Err().Text().find("[KEYWARDEN]"), std::string::npos)
            << "trace lines without --trace";
        EXPECT_EQ(check->Out().Lines(),
                  (std::vector<std::string>{"红外接收器设备工作正常  " + bus.NodePath(3),
                                            "游戏杆接收器设备工作正常  " + bus.NodePath(4)}));
        auto list = Ctl({"list", "--json"});
        EXPECT_EQ(list->Exit(kBound), 0);
        const Json nodes = JsonOf(list->Out())["nodes"];
        ASSERT_EQ(nodes.size(), 2u);
        EXPECT_EQ(nodes[0]["role"], "ir-receiver");
        EXPECT_EQ(nodes[0]["path"], bus.NodePath(3));
        EXPECT_EQ(nodes[0]["usb_path"], "usb-0000:00:14.0-1/input0");
        EXPECT_EQ(nodes[0]["may_open"], true);
        EXPECT_EQ(nodes[1]["role"], "game-receiver");
        EXPECT_EQ(nodes[1]["held"], false);
    }

    // Another program holds the game receiver; the IR node is this user's no more.
    // flock(1) itself holds it (-o: its command does not share the lock), under a name
    // that a terminal would obey.
    const std::string hostile = "fl\x1b[2Jck";
    fs::copy_file("/usr/bin/flock", m_home.dir + "/" + hostile);
    fs::permissions(m_home.dir + "/" + hostile, fs::perms::owner_all);
    ChildProcess holder(
        {m_home.dir + "/" + hostile, "-x", "-o", bus.NodePath(4), "-c", "echo held; exec cat"}, {});
    ASSERT_TRUE(holder.Out().WaitFor([](const std::string& l) { return l == "held"; }, kBound));
    chmod(bus.NodePath(3).c_str(), 0);
    {
        auto check = Ctl({"check", "--json"}, true);
        EXPECT_EQ(check->Exit(kBound), 4);  // denied (3) and held (4): the highest
        const Json json = JsonOf(check->Out());
        EXPECT_EQ(json["receivers"][0]["state"], "denied") << json;
        EXPECT_EQ(json["receivers"][1]["state"], "held") << json;
        ASSERT_EQ(json["receivers"][1]["holders"].size(), 1u);
        EXPECT_EQ(json["receivers"][1]["holders"][0]["command"], hostile);
        auto human = Ctl({"check"}, true);
        EXPECT_EQ(human->Exit(kBound), 4);
        EXPECT_NE(human->Out().Text().find("fl\\x1b[2Jck"), std::string::npos)
            << human->Out().Text();
        EXPECT_EQ(human->Out().Text().find('\x1b'), std::string::npos);
        auto list = Ctl({"list", "--json"}, true);
        EXPECT_EQ(list->Exit(kBound), 0);
        const Json nodes = JsonOf(list->Out())["nodes"];
        EXPECT_EQ(nodes[0]["may_open"], false);
        EXPECT_EQ(nodes[1]["held"], true);
    }
    holder.Signal(SIGKILL);
    holder.Wait(kBound);
    EXPECT_EQ(Ctl({"check"}, true)->Exit(kBound), 3);
}

// The virtual kit tells what a real one would: two interfaces of one USB device, and a
// served node that another process holds is held, with that process's command.
TEST_F(QuillonctlTest, ServedKitShowsItsInterfacesAndWhoHoldsThem) {
    kit = std::make_unique<VirtualKit>(KitNodes::Served);
    kit->PlugIr();
    kit->PlugGame();
    fs::create_directories(m_home.dir + "/runtime");
    std::vector<std::string> env = Env();
    env.push_back("XDG_RUNTIME_DIR=" + m_home.dir + "/runtime");
    auto ctl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), QUILLONCTL_EXE);
        return std::make_unique<ChildProcess>(args, env);
    };
    {
        auto list = ctl({"list", "--json"});
        EXPECT_EQ(list->Exit(kBound), 0);
        const Json nodes = JsonOf(list->Out())["nodes"];
        ASSERT_EQ(nodes.size(), 2u) << nodes;
        EXPECT_EQ(nodes[0]["role"], "ir-receiver");
        EXPECT_EQ(nodes[1]["role"], "game-receiver");
        EXPECT_EQ(nodes[0]["usb_path"], "usb-0000:00:14.0-1/input0");
        EXPECT_EQ(nodes[1]["usb_path"], "usb-0000:00:14.0-1/input1");
        EXPECT_NE(nodes[0]["hid_name"], nodes[1]["hid_name"]);
        EXPECT_EQ(nodes[1]["held"], false);
        EXPECT_EQ(ctl({"check"})->Exit(kBound), 0);
    }

    // watch holds both receivers, as the window does.
    auto watch = ctl({"watch", "--json"});
    for (const char* receiver : {"ir", "game"}) {
        ASSERT_TRUE(watch->Out().WaitForAnywhere(
            [&](const std::string& line) {
                const Json j = Json::parse(line, nullptr, false);
                return !j.is_discarded() && j.value("receiver", "") == receiver &&
                       j.value("state", "") == "open";
            },
            kBound))
            << watch->Out().Text();
    }
    auto check = ctl({"check", "--json"});
    ASSERT_EQ(check->Exit(kBound), 4) << check->Out().Text();
    const Json json = JsonOf(check->Out());
    for (const Json& r : json["receivers"]) {
        EXPECT_EQ(r["state"], "held") << json;
        ASSERT_EQ(r["holders"].size(), 1u) << json;
        EXPECT_EQ(r["holders"][0]["command"], "quillonctl");
        EXPECT_EQ(r["holders"][0]["lock"], "FLOCK");
        EXPECT_NE(r["reason"].get<std::string>().find("(quillonctl)"), std::string::npos);
    }
    auto list = ctl({"list", "--json"});
    EXPECT_EQ(list->Exit(kBound), 0);
    EXPECT_EQ(JsonOf(list->Out())["nodes"][1]["held"], true);

    watch->Signal(SIGINT);
    EXPECT_EQ(watch->Exit(kBound), 0);
    EXPECT_EQ(ctl({"check"})->Exit(kBound), 0);
}

// --timeout: the check waits for the receivers to come and ends as soon as they do.
TEST_F(QuillonctlTest, CheckWaitsForReceiversToArrive) {
    auto check = Ctl({"check", "--timeout", "15", "--trace"});
    // Its first search has found nothing.
    ASSERT_TRUE(check->Err().WaitFor(
        [](const std::string& l) { return l.find("Device not found") != std::string::npos; },
        kBound));
    ASSERT_TRUE(check->Running());
    const auto plugged = Clock::now();
    kit->Bus().AddDevice(3, OrvaneUevent(), kIrReceiverDescriptor);
    kit->Bus().AddDevice(4, OrvaneUevent(), kGamePadDescriptor);
    EXPECT_EQ(check->Exit(kBound), 0);
    EXPECT_LT(Clock::now() - plugged, 5s) << "not woken by the arrival";
}

// watch on a served kit: receivers, a held key with its repeats, a token frame with
// its verdict, an unplug; then SIGINT ends it at once with its summary.
TEST_F(QuillonctlTest, WatchSeesKeysTokenAndUnplugAndEndsOnSigint) {
    kit = std::make_unique<VirtualKit>(KitNodes::Served);
    kit->PlugIr();
    kit->PlugGame();
    VirtualRemote remote(*kit, DemoToken(), [this] { return clock.load(); });
    ASSERT_TRUE(StartSimulator());
    // Started as nohup starts it: SIGHUP ignored, and so it stays.
    struct sigaction hup {};
    hup.sa_handler = SIG_IGN;
    struct sigaction saved {};
    sigaction(SIGHUP, &hup, &saved);
    auto watch = Ctl({"watch", "--json", "--verify", Endpoint()});
    sigaction(SIGHUP, &saved, nullptr);
    auto parsed = [](const std::function<bool(const Json&)>& match) {
        return [match](const std::string& line) {
            const Json j = Json::parse(line, nullptr, false);
            return !j.is_discarded() && match(j);
        };
    };
    // The next matching event after the last one matched.
    auto event = [&](const std::function<bool(const Json&)>& match) {
        return watch->Out().WaitFor(parsed(match), kBound);
    };
    auto is = [](const Json& j, const char* key, const char* value) {
        return j.contains(key) && j[key] == value;
    };
    // The two receivers open in either order.
    for (const char* receiver : {"ir", "game"}) {
        ASSERT_TRUE(watch->Out().WaitForAnywhere(parsed([&](const Json& j) {
                                                     return is(j, "receiver", receiver) &&
                                                            is(j, "state", "open");
                                                 }),
                                                 kBound))
            << watch->Out().Text();
    }

    ASSERT_TRUE(remote.HoldKey(49));
    ASSERT_TRUE(event([&](const Json& j) { return is(j, "action", "down") && j["key"] == 49; }));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(event([&](const Json& j) { return is(j, "action", "repeat"); }));
    }
    remote.Release();
    ASSERT_TRUE(event([&](const Json& j) { return is(j, "action", "up") && j["key"] == 49; }));

    remote.PressTokenKey();
    ASSERT_TRUE(remote.WaitIdle());
    ASSERT_TRUE(event([&](const Json& j) {
        return is(j, "event", "token") && is(j, "outcome", "ok") && j["serial"] == "123456789" &&
               j["password"] == remote.LastSentPassword();
    })) << watch->Out().Text();
    ASSERT_TRUE(event([&](const Json& j) {
        return is(j, "event", "verification") && is(j, "text", "令匙验证通过") &&
               j["service_result"] == 0;
    })) << watch->Out().Text();

    kit->UnplugIr();
    ASSERT_TRUE(
        event([&](const Json& j) { return is(j, "receiver", "ir") && is(j, "state", "lost"); }));
    watch->Signal(SIGHUP);
    EXPECT_EQ(watch->Wait(300ms), -1) << "an ignored SIGHUP ended it";

    const auto sent = Clock::now();
    watch->Signal(SIGINT);
    const int status = watch->Wait(kBound);
    const auto took = Clock::now() - sent;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_LT(took, 500ms);
    const Json summary = Json::parse(watch->Out().Lines().back());
    EXPECT_EQ(summary["event"], "summary");
    EXPECT_EQ(summary["keys"], 2);  // key 1, and the token key that began the frame
    EXPECT_GE(summary["repeats"], 3);
    EXPECT_GT(summary["repeat_interval_mean_ms"], 50);
    EXPECT_EQ(summary["frames"]["ok"], 1);
}

// A stdout nobody reads: its pipe fills, yet SIGINT and SIGTERM end watch within a
// second, and the receivers are free again for the next program.
TEST_F(QuillonctlTest, WatchWithAStdoutNobodyReadsEndsOnEachStopSignal) {
    kit = std::make_unique<VirtualKit>(KitNodes::Served);
    kit->PlugIr();
    kit->PlugGame();
    VirtualRemote remote(*kit, DemoToken(), [this] { return clock.load(); });
    std::atomic<int> delivered{0};
    remote.SetSentHook([&](const VirtualRemote::Sent& sent) { delivered += sent.delivered; });
    for (int signo : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signo);
        // A FIFO the test holds open and never reads.
        const std::string fifo = m_home.dir + "/stdout-" + std::to_string(signo);
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        int fds[1] = {open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
        ASSERT_GE(fds[0], 0);
        fcntl(fds[0], F_SETPIPE_SZ, 4096);
        const int capacity = fcntl(fds[0], F_GETPIPE_SZ);
        const int opens = kit->IrOpens();
        auto watch = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/bin/sh", "-c", "exec \"$0\" watch --json >\"$1\"",
                                     QUILLONCTL_EXE, fifo},
            Env());
        ASSERT_TRUE(kit->WaitForIrOpens(opens + 1, kBound));
        // Read only until both receivers are open; from then on nobody reads.
        std::string seen;
        for (const auto until = Clock::now() + kBound;
             Clock::now() < until &&
             (seen.find("\"receiver\":\"ir\",\"state\":\"open\"") == std::string::npos ||
              seen.find("\"receiver\":\"game\",\"state\":\"open\"") == std::string::npos);) {
            pollfd p{fds[0], POLLIN, 0};
            poll(&p, 1, 100);
            char text[512];
            const ssize_t n = read(fds[0], text, sizeof text);
            if (n > 0)
                seen.append(text, static_cast<std::size_t>(n));
        }
        // A held key repeats until more was written than the pipe takes (some 150
        // bytes an event); its writer then waits for room that never comes.
        ASSERT_TRUE(remote.HoldKey(49));
        const int before = delivered.load();
        const auto until = Clock::now() + kBound;
        while (delivered.load() < before + 2 * capacity / 150 && Clock::now() < until)
            std::this_thread::sleep_for(20ms);  // the remote has no wake-up for a count
        ASSERT_LT(Clock::now(), until) << "the held key did not repeat";
        const auto sent = Clock::now();
        watch->Signal(signo);
        remote.Release();
        const int status = watch->Wait(5s);
        EXPECT_LT(Clock::now() - sent, 1s);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        close(fds[0]);
        EXPECT_EQ(Ctl({"check"})->Exit(kBound), 0) << "the receivers are still held";
    }
}

// A stdout that is closed, or whose reader has gone: one line on stderr, status 1.
TEST_F(QuillonctlTest, WatchSaysSoWhenItsStdoutFails) {
    {
        RawChild watch = SpawnRaw({"watch"}, -1);
        const int status = WaitRaw(watch, kBound);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        const std::vector<std::string> err = FileLines(watch.errPath);
        ASSERT_EQ(err.size(), 1u);
        EXPECT_NE(err[0].find("stdout"), std::string::npos) << err[0];
    }
    {
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        close(fds[0]);
        RawChild watch = SpawnRaw({"watch", "--json"}, fds[1]);
        close(fds[1]);
        // The receivers' first "absent" is written at once and meets the gone reader.
        const int status = WaitRaw(watch, kBound);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        EXPECT_EQ(FileLines(watch.errPath),
                  std::vector<std::string>{"quillonctl: writing to stdout failed: Broken pipe"});
    }
}

// Every numeric option: finite and in its range, or one line naming it and exit 1;
// and help beside a word that is no subcommand is a usage error.
TEST_F(QuillonctlTest, CommandLineRefusesBadNumbersAndUnknownWords) {
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> table = {
        {{"check", "--timeout"}, {"1e12", "1e300", "nan", "inf", "-1", "1e400", "2x", ""}},
        {{"verify", "--wait", "--timeout"}, {"nan", "0", "-5", "1e12"}},
        {{"calibrate", "--wait-period"}, {"nan", "0", "1e300"}},
        {{"calibrate", "--timeout-period"}, {"-inf", "0", "1e9"}},
        {{"replay", "x.hidrec", "--speed"}, {"nan", "0", "1e300", "\x1b[2J"}},
    };
    for (const auto& [command, values] : table) {
        for (const std::string& value : values) {
            std::vector<std::string> args = command;
            args.push_back(value);
            auto ctl = Ctl(args);
            const std::string what = args[args.size() - 2] + " " + value;
            EXPECT_EQ(ctl->Exit(kBound), 1) << what;
            const std::vector<std::string> err = ctl->Err().Lines();
            ASSERT_EQ(err.size(), 1u) << what << "\n" << ctl->Err().Text();
            EXPECT_TRUE(err[0].starts_with("quillonctl: " + args[args.size() - 2] + ": "))
                << err[0];
            EXPECT_LT(err[0].size(), 120u) << err[0];
            EXPECT_EQ(err[0].find('\x1b'), std::string::npos) << "control character shown raw";
        }
    }
    for (std::vector<std::string> args : {std::vector<std::string>{"nosuch", "--help"},
                                          {"--help", "nosuch"},
                                          {"check", "nosuch", "--help"}}) {
        auto ctl = Ctl(args);
        EXPECT_EQ(ctl->Exit(kBound), 1) << args[0];
        EXPECT_TRUE(ctl->Out().Lines().empty()) << ctl->Out().Text();
        EXPECT_EQ(ctl->Err().Lines().size(), 1u) << ctl->Err().Text();
    }
    EXPECT_EQ(Ctl({"record", "hidraw0", "--help"})->Exit(kBound), 0);
}

// Each subcommand's help lists the exit statuses it can give, and no other.
TEST_F(QuillonctlTest, HelpOfEachSubcommandListsItsStatuses) {
    const std::map<std::string, std::set<int>> statuses = {
        {"list", {0, 1}},
        {"check", {0, 1, 2, 3, 4}},
        {"watch", {0, 1}},
        {"verify", {0, 1, 5, 6, 7}},
        {"calibrate", {0, 1, 5, 6, 7}},
        {"doctor", {0, 1, 8}},
        {"record", {0, 1, 2, 3}},
        {"replay", {0, 1}},
    };
    for (const auto& [sub, expected] : statuses) {
        auto help = Ctl({sub, "--help"});
        EXPECT_EQ(help->Exit(kBound), 0);
        const std::string text = help->Out().Text();
        const std::size_t at = text.find("Exit status:");
        ASSERT_NE(at, std::string::npos) << sub;
        std::set<int> shown;
        std::istringstream in(text.substr(at + 12));
        for (std::string word, before = ";"; in >> word; before = word) {
            if (before.back() == ';' && !word.empty() &&
                word.find_first_not_of("0123456789") == std::string::npos)
                shown.insert(std::stoi(word));
        }
        EXPECT_EQ(shown, expected) << sub << "\n" << text;
    }
}

TEST_F(QuillonctlTest, VerifyGivesTheWindowsVerdictAndItsStatus) {
    ASSERT_TRUE(StartSimulator());
    VirtualRemote token(*kit, DemoToken(), [this] { return clock.load(); });
    {
        auto verify =
            Ctl({"verify", "--serial", "123456789", "--password", token.Password(), Endpoint()});
        EXPECT_EQ(verify->Exit(kBound), 0) << verify->Err().Text();
        EXPECT_EQ(verify->Out().Lines(),
                  std::vector<std::string>{"123456789 " + token.Password() + ": 令匙验证通过"});
    }
    {
        auto verify = Ctl(
            {"verify", "--json", "--serial", "123456789", "--password", "00000000", Endpoint()});
        EXPECT_EQ(verify->Exit(kBound), 5);
        const Json json = JsonOf(verify->Out());
        EXPECT_EQ(json["verdict"], "not_passed");
        EXPECT_EQ(json["text"], "令匙验证不通过，请尝试令匙校准");
        EXPECT_EQ(json["service_result"], 21003);
    }
    {
        auto verify = Ctl({"verify", "--json", "--serial", "123456789", "--password", "12345678",
                           ClosedEndpoint()});
        EXPECT_EQ(verify->Exit(kBound), 7);
        const Json json = JsonOf(verify->Out());
        EXPECT_EQ(json["text"], "网络不通或服务器有问题，令匙验证不成功");
        EXPECT_TRUE(json.contains("service_result") && json["service_result"].is_null()) << json;
        EXPECT_EQ(verify->Err().Text().find("built-in"), std::string::npos) << verify->Err().Text();
    }
    {
        // Still the built-in endpoint, which names no site's service: stderr says which
        // file takes the line that does.
        std::vector<std::string> env = Env();
        ChildProcess verify(
            {QUILLONCTL_EXE, "verify", "--serial", "123456789", "--password", "12345678"}, env);
        EXPECT_EQ(verify.Exit(kBound), 7) << verify.Err().Text();
        const std::string err = verify.Err().Text();
        EXPECT_NE(err.find("quillonctl: the endpoint http"), std::string::npos) << err;
        EXPECT_NE(err.find(" is the built-in one, which names no site's token service: write "
                           "yours into " +
                           m_home.dir +
                           "/config/quillon/quillon.conf as the line `endpoint = "
                           "http://<host>/keluserandhardwareservice.asmx`"),
                  std::string::npos)
            << err;
    }
    // Usage: neither a frame nor --wait.
    EXPECT_EQ(Ctl({"verify", "--serial", "123456789"})->Exit(kBound), 1);
}

// Each refusal of the service reads "not passed"; the service's own answer tells
// them apart, after the window's text, in JSON and in the trace.
TEST_F(QuillonctlTest, VerifyShowsTheServicesOwnAnswer) {
    ASSERT_TRUE(StartSimulator());
    VirtualRemote token(*kit, DemoToken(), [this] { return clock.load(); });
    const std::string notPassed = "令匙验证不通过，请尝试令匙校准";
    auto run = [&](const std::string& serial, const std::string& password, int exit,
                   const std::string& line) {
        auto verify =
            Ctl({"verify", "--trace", "--serial", serial, "--password", password, Endpoint()});
        EXPECT_EQ(verify->Exit(kBound), exit) << verify->Err().Text();
        EXPECT_EQ(verify->Out().Lines(),
                  std::vector<std::string>{serial + " " + password + ": " + line});
        return verify;
    };
    auto passed = Ctl(
        {"verify", "--json", "--serial", "123456789", "--password", token.Password(), Endpoint()});
    EXPECT_EQ(passed->Exit(kBound), 0);
    EXPECT_EQ(JsonOf(passed->Out())["service_result"], 0);
    auto replayed = run("123456789", token.Password(), 5, notPassed + " (result 21004)");
    EXPECT_NE(replayed->Err().Text().find("ReviseEkey result =21004"), std::string::npos)
        << replayed->Err().Text();
    run("987654321", "12345678", 5, notPassed + " (result 21001)");
    // Not 9 digits: still sent, for a look at the service, with a warning.
    auto illFormed = run("12345678x", "12345678", 5, notPassed + " (result 21002)");
    EXPECT_NE(illFormed->Err().Text().find("quillonctl: warning: --serial \"12345678x\" is not 9 "
                                           "digits"),
              std::string::npos)
        << illFormed->Err().Text();
}

// What the request cannot carry, or no token has, is refused before anything is sent,
// with the value escaped in the message.
TEST_F(QuillonctlTest, VerifyRefusesValuesTheRequestCannotCarry) {
    ASSERT_TRUE(StartSimulator());
    const std::string log = m_home.dir + "/sim.log";
    const auto logged = fs::file_size(log);
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"--serial",
          "1234\x01"
          "5678\x1b[2J",
          "--password", "12345678"},
         "quillonctl: --serial: holds a control character, U+FFFE, U+FFFF or bytes that are not "
         "UTF-8: \"1234\\x015678\\x1b[2J\""},
        {{"--serial", "123456789", "--password", "1234\xEF\xBF\xBF"},
         "quillonctl: --password: holds a control character, U+FFFE, U+FFFF or bytes that are not "
         "UTF-8: \"1234\\xef\\xbf\\xbf\""},
        {{"--serial", "123456789", "--password", "\xC2\x85\tx\xFF"},
         "quillonctl: --password: holds a control character, U+FFFE, U+FFFF or bytes that are not "
         "UTF-8: \"\\xc2\\x85\\tx\\xff\""},
        {{"--serial", std::string(65, '1'), "--password", "12345678"},
         "quillonctl: --serial: longer than 64 bytes: \"" + std::string(64, '1') + "\"..."},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"verify", "--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(Endpoint());
        auto verify = Ctl(args);
        EXPECT_EQ(verify->Exit(kBound), 1);
        EXPECT_EQ(verify->Err().Lines(), std::vector<std::string>{c.message});
        EXPECT_TRUE(verify->Out().Lines().empty());
    }
    EXPECT_EQ(fs::file_size(log), logged) << "a request went out";
}

TEST_F(QuillonctlTest, VerifyOfABoundTokenAndOfTheNextPress) {
    ASSERT_TRUE(StartSimulator(/*bound=*/true));
    kit = std::make_unique<VirtualKit>(KitNodes::Served);
    kit->PlugIr();
    kit->PlugGame();
    VirtualRemote remote(*kit, DemoToken(), [this] { return clock.load(); });
    auto verify = Ctl({"verify", "--wait", "--timeout", "20", "--json", Endpoint()});
    ASSERT_TRUE(kit->WaitForIrOpens(2, kBound));  // the check's open, then the receiver's
    remote.PressTokenKey();
    EXPECT_EQ(verify->Exit(kBound), 6) << verify->Err().Text();
    const Json json = JsonOf(verify->Out());
    EXPECT_EQ(json["verdict"], "bound");
    EXPECT_EQ(json["text"], "令匙已经被绑定，拒绝验证");
    EXPECT_EQ(json["password"], remote.LastSentPassword());
}

// verify --wait and calibrate need the IR receiver: without one that works they say
// why at once, with check's status; with one, the first press has the time-out.
TEST_F(QuillonctlTest, PressWaitsCheckTheReceiverFirst) {
    ASSERT_TRUE(StartSimulator());
    const std::vector<std::vector<std::string>> commands = {
        {"verify", "--wait", "--timeout", "60", Endpoint()}, {"calibrate", "--json", Endpoint()}};
    for (const auto& args : commands) {
        const auto started = Clock::now();
        auto absent = Ctl(args);
        EXPECT_EQ(absent->Exit(kBound), 2) << args[0];
        EXPECT_LT(Clock::now() - started, 10s);
        ASSERT_EQ(absent->Err().Lines().size(), 1u) << absent->Err().Text();
        EXPECT_EQ(
            absent->Err().Lines()[0].rfind("quillonctl: 红外接收器设备未找到  no IR receiver", 0),
            0u)
            << absent->Err().Text();
        EXPECT_TRUE(absent->Out().Lines().empty()) << absent->Out().Text();
    }
    VirtualHidBus& bus = kit->Bus();
    bus.AddDevice(3, OrvaneUevent(), kIrReceiverDescriptor);
    bus.AddDevice(4, OrvaneUevent(), kGamePadDescriptor);
    {
        ChildProcess holder(
            {"/usr/bin/flock", "-x", "-o", bus.NodePath(3), "-c", "echo held; exec cat"}, {});
        ASSERT_TRUE(holder.Out().WaitFor([](const std::string& l) { return l == "held"; }, kBound));
        for (const auto& args : commands) {
            auto held = Ctl(args);
            EXPECT_EQ(held->Exit(kBound), 4) << args[0];
            EXPECT_NE(held->Err().Text().find("another program holds it"), std::string::npos)
                << held->Err().Text();
        }
        holder.Signal(SIGKILL);
        holder.Wait(kBound);
    }
    chmod(bus.NodePath(3).c_str(), 0);
    EXPECT_EQ(Ctl(commands[1], true)->Exit(kBound), 3);
    chmod(bus.NodePath(3).c_str(), 0644);

    // No press at all: the time-out, as after a first press.
    const auto started = Clock::now();
    auto calibrate =
        Ctl({"calibrate", "--json", "--wait-period", "0.3", "--timeout-period", "0.8", Endpoint()});
    EXPECT_EQ(calibrate->Exit(kBound), 5) << calibrate->Err().Text();
    EXPECT_GE(Clock::now() - started, 800ms);
    const Json json = JsonOf(calibrate->Out());
    EXPECT_EQ(json["verdict"], "timed_out");
    EXPECT_EQ(json["text"], "输入超时");
    EXPECT_TRUE(json["service_result"].is_null());
}

// Long waits on a terminal show how far they are; JSON and pipes get nothing extra
// (the tests above run with pipes and read their output whole).
TEST_F(QuillonctlTest, LongWaitsShowProgressOnATerminal) {
    auto ctl = [&](std::vector<std::string> args, bool stdoutToPipe) {
        args.insert(args.begin(), QUILLONCTL_EXE);
        return RunOnPty(args, Env(), stdoutToPipe);
    };
    const OnPty check = ctl({"check", "--timeout", "1.5"}, false);
    EXPECT_TRUE(WIFEXITED(check.status) && WEXITSTATUS(check.status) == 2) << check.status;
    EXPECT_NE(check.tty.find("\rwaiting for the receivers: 2 s "), std::string::npos) << check.tty;
    EXPECT_NE(check.tty.find("\rwaiting for the receivers: 1 s "), std::string::npos) << check.tty;
    // The countdown is cleared before the result.
    EXPECT_NE(check.tty.find(std::string(40, ' ') + "\r红外接收器设备未找到"), std::string::npos)
        << check.tty;
    const OnPty checkJson = ctl({"check", "--timeout", "0.5", "--json"}, false);
    EXPECT_EQ(checkJson.tty.find("waiting"), std::string::npos) << checkJson.tty;

    // calibrate --json: the dialog's prompts and its countdown on the terminal, the
    // JSON alone on stdout.
    kit->Bus().AddDevice(3, OrvaneUevent(), kIrReceiverDescriptor);
    kit->Bus().AddDevice(4, OrvaneUevent(), kGamePadDescriptor);
    const OnPty calibrate =
        ctl({"calibrate", "--json", "--timeout-period", "1.2", ClosedEndpoint()}, true);
    EXPECT_TRUE(WIFEXITED(calibrate.status) && WEXITSTATUS(calibrate.status) == 5)
        << calibrate.status << calibrate.tty;
    EXPECT_NE(calibrate.tty.find("请按令匙键输入令匙值"), std::string::npos) << calibrate.tty;
    EXPECT_NE(calibrate.tty.find("\r  2 s "), std::string::npos) << calibrate.tty;
    EXPECT_NE(calibrate.tty.find("输入超时"), std::string::npos) << calibrate.tty;
    const Json json = Json::parse(calibrate.out, nullptr, false);
    EXPECT_FALSE(json.is_discarded()) << calibrate.out;
    EXPECT_EQ(json["verdict"], "timed_out");

    // replay: reports sent and the time left, then the usual end line.
    const OnPty replay =
        ctl({"replay", "--virtual", "--no-wait", "--speed", "20", kDemoRecording}, false);
    EXPECT_TRUE(WIFEXITED(replay.status) && WEXITSTATUS(replay.status) == 0)
        << replay.status << replay.tty;
    // "\rquillonctl: N of M reports sent, S s left "
    const std::size_t shown = replay.tty.find("\rquillonctl: ");
    const std::size_t sent = replay.tty.find(" reports sent, ", shown);
    EXPECT_TRUE(shown != std::string::npos && sent != std::string::npos &&
                replay.tty.find(" of ", shown) < sent &&
                replay.tty.find(" s left ", sent) != std::string::npos)
        << replay.tty;
    EXPECT_NE(replay.tty.find("quillonctl: replay done: "), std::string::npos) << replay.tty;
}

class CalibrateTest : public QuillonctlTest {
protected:
    void SetUp() override {
        QuillonctlTest::SetUp();
        kit = std::make_unique<VirtualKit>(KitNodes::Served);
        kit->PlugIr();
        kit->PlugGame();
        remote =
            std::make_unique<VirtualRemote>(*kit, DemoToken(), [this] { return clock.load(); });
    }
    void TearDown() override {
        remote.reset();
        QuillonctlTest::TearDown();
    }
    // Short periods: the steps are the real ones, only the clock is quicker.
    std::unique_ptr<ChildProcess> Calibrate(const std::string& endpoint, bool json = true,
                                            const char* timeout = "20") {
        m_opensBefore = kit->IrOpens();
        std::vector<std::string> args = {"calibrate",        "--wait-period", "0.3",
                                         "--timeout-period", timeout,         endpoint};
        if (json)
            args.push_back("--json");
        return Ctl(args);
    }
    // Once the calibration has the IR receiver open: its check opens it first.
    void WaitForReceiver() { ASSERT_TRUE(kit->WaitForIrOpens(m_opensBefore + 2, kBound)); }
    // Two presses of the token, its clock a step apart.
    void PressTwice() {
        WaitForReceiver();
        remote->PressTokenKey();
        ASSERT_TRUE(remote->WaitIdle());
        m_firstPassword = remote->LastSentPassword();
        remote->DriftBy(1);
        remote->PressTokenKey();
        ASSERT_TRUE(remote->WaitIdle());
    }
    std::unique_ptr<VirtualRemote> remote;
    int m_opensBefore = 0;
    std::string m_firstPassword;
};

TEST_F(CalibrateTest, DriftedTokenPassesWithTheDialogsTexts) {
    ASSERT_TRUE(StartSimulator());
    remote->DriftBy(10);
    auto calibrate = Calibrate(Endpoint(), /*json=*/false);
    PressTwice();
    EXPECT_EQ(calibrate->Exit(kBound), 0) << calibrate->Err().Text();
    const std::vector<std::string> lines = calibrate->Out().Lines();
    const std::vector<std::string> expected = {
        "令匙校准",
        "请按令匙键输入令匙值",
        "第一次动态密码：" + std::string(lines.size() > 2 ? lines[2].substr(24) : ""),
        "请等待30秒再输入令匙键",
        "请再次输入令匙键",
        "第二次动态密码：" + remote->LastSentPassword(),
        "令匙校准通过"};
    EXPECT_EQ(lines, expected) << calibrate->Out().Text();
}

TEST_F(CalibrateTest, VerdictsGiveTheStatusesOfVerify) {
    {
        ASSERT_TRUE(StartSimulator(/*bound=*/true));
        auto calibrate = Calibrate(Endpoint());
        PressTwice();
        EXPECT_EQ(calibrate->Exit(kBound), 6);
        const Json json = JsonOf(calibrate->Out());
        EXPECT_EQ(json["verdict"], "bound");
        EXPECT_EQ(json["text"], "令匙校准不通过");
        EXPECT_EQ(json["service_result"], 21030);
        auto text = Calibrate(Endpoint(), /*json=*/false);
        PressTwice();
        EXPECT_EQ(text->Exit(kBound), 6);
        EXPECT_EQ(text->Out().Lines().back(), "令匙校准不通过 (result 21030)")
            << text->Out().Text();
    }
    {
        auto calibrate = Calibrate(ClosedEndpoint());
        remote->DriftBy(1);
        PressTwice();
        EXPECT_EQ(calibrate->Exit(kBound), 7);
        const Json json = JsonOf(calibrate->Out());
        EXPECT_EQ(json["text"], "网络不通或服务器有问题，令匙校准不成功");
        EXPECT_TRUE(json["service_result"].is_null()) << json;
    }
    {
        // One press only: the time-out from the first input.
        auto calibrate = Calibrate(ClosedEndpoint(), true, "0.6");
        WaitForReceiver();
        remote->DriftBy(1);
        remote->PressTokenKey();
        EXPECT_EQ(calibrate->Exit(kBound), 5);
        EXPECT_EQ(JsonOf(calibrate->Out())["text"], "输入超时");
    }
}

TEST_F(QuillonctlTest, ConfigurationFileAndItsFaults) {
    ASSERT_TRUE(StartSimulator());
    VirtualRemote token(*kit, DemoToken(), [this] { return clock.load(); });
    fs::create_directories(m_home.dir + "/config/quillon");
    const std::string conf = m_home.dir + "/config/quillon/quillon.conf";
    std::ofstream(conf) << "# the site's service\nendpoint = " << sim.Endpoint() << "\n";
    auto verify = Ctl({"verify", "--serial", "123456789", "--password", token.Password()});
    EXPECT_EQ(verify->Exit(kBound), 0) << verify->Err().Text();

    std::ofstream(conf) << "endpoint = " << sim.Endpoint() << "\nproxy = nowhere\n";
    auto bad = Ctl({"verify", "--serial", "123456789", "--password", token.Password()});
    EXPECT_EQ(bad->Exit(kBound), 1);
    EXPECT_EQ(bad->Err().Lines(),
              std::vector<std::string>{"quillonctl: " + conf + ":2: proxy: expected host:port"});
    EXPECT_TRUE(bad->Out().Lines().empty());
}

}  // namespace
