// quillonctl as a real process against the virtual kit and the token-service
// simulator: exit statuses, JSON read back, watch's events and its end on SIGINT,
// verify's and calibrate's verdicts, the configuration file.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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

class QuillonctlTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string templ = (fs::temp_directory_path() / "quillonctl-XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        m_dir = templ;
        fs::create_directories(m_dir + "/config");
        fs::create_directories(m_dir + "/runtime");
        fs::permissions(m_dir + "/runtime", fs::perms::owner_all);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    // The kit's tree and a configuration directory of the test's own.
    std::vector<std::string> Env() const {
        return {"QUILLON_SYSFS_ROOT=" + kit->Bus().SysRoot(),
                "QUILLON_DEV_ROOT=" + kit->Bus().DevRoot(), "XDG_CONFIG_HOME=" + m_dir + "/config",
                "XDG_RUNTIME_DIR=" + m_dir + "/runtime"};
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
        child.errPath = m_dir + "/stderr-" + std::to_string(++m_spawned);
        args.insert(args.begin(), QUILLONCTL_EXE);
        std::vector<std::string> env = Env();
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('=') + 1);
            bool ours = false;
            for (const std::string& mine : Env())
                ours = ours || mine.starts_with(name);
            if (!ours)
                env.push_back(entry);
        }
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
        const std::string state = m_dir + "/token-state.txt";
        if (bound) {
            ChildProcess bind({QUILLON_TOKEN_SIM, "--state", state, "--bind", "123456789"}, {});
            EXPECT_EQ(bind.Exit(kBound), 0) << bind.Err().Text();
        }
        std::string error;
        const bool ok = sim.Start(QUILLON_TOKEN_SIM, state, m_dir + "/sim.log", kBound, &error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }
    std::string Endpoint() const { return "--endpoint=" + sim.Endpoint(); }
    static std::string ClosedEndpoint() {
        return "--endpoint=http://127.0.0.1:1/keluserandhardwareservice.asmx";
    }

    std::string m_dir;
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
    // flock(1) itself holds it (-o: its command does not share the lock).
    ChildProcess holder(
        {"/usr/bin/flock", "-x", "-o", bus.NodePath(4), "-c", "echo held; exec cat"}, {});
    ASSERT_TRUE(holder.Out().WaitFor([](const std::string& l) { return l == "held"; }, kBound));
    chmod(bus.NodePath(3).c_str(), 0);
    {
        auto check = Ctl({"check", "--json"}, true);
        EXPECT_EQ(check->Exit(kBound), 4);  // denied (3) and held (4): the highest
        const Json json = JsonOf(check->Out());
        EXPECT_EQ(json["receivers"][0]["state"], "denied") << json;
        EXPECT_EQ(json["receivers"][1]["state"], "held") << json;
        ASSERT_EQ(json["receivers"][1]["holders"].size(), 1u);
        EXPECT_EQ(json["receivers"][1]["holders"][0]["command"], "flock");
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
        return is(j, "event", "verification") && is(j, "text", "令匙验证通过");
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
        const std::string fifo = m_dir + "/stdout-" + std::to_string(signo);
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
    }
    {
        auto verify = Ctl({"verify", "--json", "--serial", "123456789", "--password", "12345678",
                           ClosedEndpoint()});
        EXPECT_EQ(verify->Exit(kBound), 7);
        EXPECT_EQ(JsonOf(verify->Out())["text"], "网络不通或服务器有问题，令匙验证不成功");
    }
    // Usage: neither a frame nor --wait.
    EXPECT_EQ(Ctl({"verify", "--serial", "123456789"})->Exit(kBound), 1);
}

TEST_F(QuillonctlTest, VerifyOfABoundTokenAndOfTheNextPress) {
    ASSERT_TRUE(StartSimulator(/*bound=*/true));
    kit = std::make_unique<VirtualKit>(KitNodes::Served);
    kit->PlugIr();
    kit->PlugGame();
    VirtualRemote remote(*kit, DemoToken(), [this] { return clock.load(); });
    auto verify = Ctl({"verify", "--wait", "--timeout", "20", "--json", Endpoint()});
    ASSERT_TRUE(kit->WaitForIrOpens(1, kBound));
    remote.PressTokenKey();
    EXPECT_EQ(verify->Exit(kBound), 6) << verify->Err().Text();
    const Json json = JsonOf(verify->Out());
    EXPECT_EQ(json["verdict"], "bound");
    EXPECT_EQ(json["text"], "令匙已经被绑定，拒绝验证");
    EXPECT_EQ(json["password"], remote.LastSentPassword());
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
    // Once the calibration has the IR receiver open.
    void WaitForReceiver() { ASSERT_TRUE(kit->WaitForIrOpens(m_opensBefore + 1, kBound)); }
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
    }
    {
        auto calibrate = Calibrate(ClosedEndpoint());
        remote->DriftBy(1);
        PressTwice();
        EXPECT_EQ(calibrate->Exit(kBound), 7);
        EXPECT_EQ(JsonOf(calibrate->Out())["text"], "网络不通或服务器有问题，令匙校准不成功");
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
    fs::create_directories(m_dir + "/config/quillon");
    const std::string conf = m_dir + "/config/quillon/quillon.conf";
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
