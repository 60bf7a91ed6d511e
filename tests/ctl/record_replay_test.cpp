// quillonctl record and replay as real processes on the virtual kit: a recording of
// what the remote sent, made alongside a running watch, reads back as those reports;
// a recording replayed into served nodes is what watch then sees; a file that is not
// a recording is refused, with its line, before anything is made.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "platform/hid_recording.h"
#include "tests/ctl/ctl_process.h"
#include "tests/support/demo_recording.h"
#include "tools/virtual_kit/virtual_kit.h"
#include "tools/virtual_kit/virtual_remote.h"

namespace {

namespace fs = std::filesystem;
using namespace ctltest;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

auto Parsed(const std::function<bool(const Json&)>& match) {
    return [match](const std::string& line) {
        const Json j = Json::parse(line, nullptr, false);
        return !j.is_discarded() && match(j);
    };
}

bool Is(const Json& j, const char* key, const char* value) {
    return j.contains(key) && j[key] == value;
}

class RecordReplayTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string templ = (fs::temp_directory_path() / "quillon-rec-XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        m_dir = templ;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    std::unique_ptr<Process> Ctl(std::vector<std::string> args,
                                 const std::vector<std::string>& env) {
        args.insert(args.begin(), QUILLONCTL_EXE);
        return std::make_unique<Process>(args, env);
    }
    static std::vector<std::string> KitEnv(VirtualKit& kit) {
        return {"QUILLON_SYSFS_ROOT=" + kit.Bus().SysRoot(),
                "QUILLON_DEV_ROOT=" + kit.Bus().DevRoot()};
    }
    // Both receivers open in watch, in either order.
    static void WaitForReceivers(Process& watch) {
        for (const char* receiver : {"ir", "game"}) {
            ASSERT_TRUE(watch.Out().WaitForAnywhere(Parsed([&](const Json& j) {
                return Is(j, "receiver", receiver) && Is(j, "state", "open");
            }))) << watch.Out().Text()
                 << watch.Err().Text();
        }
    }
    std::string m_dir;
};

TEST_F(RecordReplayTest, ARecordingOfTheKitIsWhatTheRemoteSentAndWatchIsNotDisturbed) {
    VirtualKit kit(KitNodes::Served);
    kit.PlugIr();
    kit.PlugGame();
    VirtualRemote remote(kit, DemoToken(), [] { return std::int64_t{1'700'000'000}; });
    std::mutex sentMutex;
    std::vector<VirtualRemote::Sent> sent;
    remote.SetSentHook([&](const VirtualRemote::Sent& s) {
        std::lock_guard lock(sentMutex);
        sent.push_back(s);
    });

    auto watch = Ctl({"watch", "--json"}, KitEnv(kit));
    WaitForReceivers(*watch);
    const std::string file = m_dir + "/kit.hidrec";
    auto record = Ctl({"record", "--output", file}, KitEnv(kit));
    ASSERT_TRUE(kit.WaitForIrOpens(2, kBound));
    ASSERT_TRUE(kit.WaitForGameOpens(2, kBound));
    ASSERT_TRUE(record->Err().WaitForAnywhere([](const std::string& l) {
        return l.find("recording 2 devices") != std::string::npos;
    })) << record->Err().Text();

    ASSERT_TRUE(remote.PressKey(53));
    ASSERT_TRUE(remote.PressGameKey(4103));
    remote.PressTokenKey();
    ASSERT_TRUE(remote.WaitIdle());
    // watch, which holds the receivers, saw it all.
    ASSERT_TRUE(watch->Out().WaitForAnywhere(Parsed([&](const Json& j) {
        return Is(j, "event", "token") && Is(j, "outcome", "ok") &&
               j["password"] == remote.LastSentPassword();
    }))) << watch->Out().Text();

    record->Signal(SIGINT);
    EXPECT_EQ(record->Exit(), 0) << record->Err().Text();
    watch->Signal(SIGINT);
    EXPECT_EQ(watch->Exit(), 0);

    RecordingError error;
    const auto recording = ParseHidRecording(ReadFile(file), &error);
    ASSERT_TRUE(recording) << error.Describe() << "\n" << ReadFile(file);
    ASSERT_EQ(recording->devices.size(), 2u);
    EXPECT_EQ(recording->devices[0].descriptor, kIrReceiverDescriptor);
    EXPECT_EQ(recording->devices[1].descriptor, kGamePadDescriptor);
    for (const RecordedDevice& d : recording->devices) {
        EXPECT_EQ(d.bus, 3);
        EXPECT_EQ(d.vendor, 0x0471);
        EXPECT_EQ(d.product, 0x0606);
    }
    EXPECT_EQ(recording->devices[0].name, "Orvane IR receiver");
    EXPECT_EQ(recording->devices[0].phys, "usb-0000:00:14.0-1/input0");
    EXPECT_EQ(recording->devices[1].name, "Orvane game receiver");
    EXPECT_EQ(recording->devices[1].phys, "usb-0000:00:14.0-1/input1");
    // Every report each receiver took, in order (two receivers' reports that come at
    // once may be taken in either order).
    for (std::size_t device : {0u, 1u}) {
        std::vector<std::vector<std::uint8_t>> got, want;
        for (const VirtualRemote::Sent& s : sent) {
            if (s.delivered && s.ir == (device == 0))
                want.push_back(s.ir ? IrReport(static_cast<IrScanCode>(s.code))
                                    : GameReport(s.code));
        }
        for (const RecordedEvent& e : recording->events) {
            if (e.device == device)
                got.push_back(e.data);
        }
        EXPECT_EQ(got, want) << device << "\n" << ReadFile(file);
    }
    for (std::size_t i = 1; i < recording->events.size(); ++i)
        EXPECT_GE(recording->events[i].usec, recording->events[i - 1].usec);
    // The token frame keeps its pace: 13 gaps of the remote's 30 ms.
    std::vector<std::uint64_t> ir;
    for (const RecordedEvent& e : recording->events) {
        if (e.device == 0)
            ir.push_back(e.usec);
    }
    ASSERT_GE(ir.size(), 14u);
    const std::uint64_t frame = ir.back() - ir[ir.size() - 14];
    EXPECT_GE(frame, 13u * 25'000u);
    EXPECT_LT(frame, 13u * 200'000u);
}

// Writes a recording: key 5 pressed, a token frame, a game-pad key.
std::string SmallRecording() {
    HidRecording r;
    r.devices = {{"Orvane IR", "usb-1/input0", 3, 0x0471, 0x0606, kIrReceiverDescriptor},
                 {"Orvane pad", "usb-1/input1", 3, 0x0471, 0x0606, kGamePadDescriptor}};
    std::uint64_t t = 200'000;
    r.events.push_back({0, t, IrReport(0x2605)});
    for (IrScanCode code : TokenFrameCodes("123456789", "87654321", true))
        r.events.push_back({0, t += 30'000, IrReport(code)});
    r.events.push_back({1, t += 400'000, GameReport(0x40400002)});
    r.events.push_back({1, t += 110'000, GameReport(kGamePadIdle)});
    return FormatHidRecording(r);
}

TEST_F(RecordReplayTest, ReplayIntoTheVirtualKitIsWhatWatchSees) {
    const std::string file = m_dir + "/small.hidrec";
    std::ofstream(file) << SmallRecording();
    auto replay = Ctl({"replay", "--virtual", "--json", "--speed", "2", file}, {});
    ASSERT_TRUE(replay->Out().WaitFor(Parsed([](const Json& j) {
        return Is(j, "event", "served");
    }))) << replay->Err().Text();
    const Json served = Json::parse(replay->Out().Lines().front());
    ASSERT_EQ(served["nodes"].size(), 2u);
    // Nothing is sent before a reader has every device open.
    EXPECT_TRUE(replay->Running());
    EXPECT_FALSE(replay->Out().WaitForAnywhere(
        Parsed([](const Json& j) { return Is(j, "event", "started"); }), 100ms));

    auto watch =
        Ctl({"watch", "--json"}, {"QUILLON_SYSFS_ROOT=" + served["sysfs_root"].get<std::string>(),
                                  "QUILLON_DEV_ROOT=" + served["dev_root"].get<std::string>()});
    WaitForReceivers(*watch);
    ASSERT_TRUE(replay->Out().WaitForAnywhere(
        Parsed([](const Json& j) { return Is(j, "event", "started"); })));
    EXPECT_EQ(replay->Exit(), 0) << replay->Err().Text();
    const Json done = Json::parse(replay->Out().Lines().back());
    EXPECT_EQ(done["event"], "done");
    EXPECT_EQ(done["sent"], 17);
    // 1.13 s of recording at twice the speed: neither early nor late.
    EXPECT_GE(done["played_seconds"].get<double>(), 0.565);
    EXPECT_LT(done["played_seconds"].get<double>(), 0.565 + 0.5);

    for (auto match :
         {Parsed([](const Json& j) { return Is(j, "action", "down") && j["key"] == 53; }),
          Parsed([](const Json& j) {
              return Is(j, "event", "token") && Is(j, "outcome", "ok") &&
                     j["serial"] == "123456789" && j["password"] == "87654321";
          }),
          Parsed([](const Json& j) { return Is(j, "action", "down") && j["key"] == 4101; })}) {
        EXPECT_TRUE(watch->Out().WaitForAnywhere(match)) << watch->Out().Text();
    }
    // The replay's end takes its devices away, as an unplug.
    EXPECT_TRUE(watch->Out().WaitForAnywhere(Parsed([](const Json& j) {
        return Is(j, "receiver", "ir") && Is(j, "state", "lost");
    }))) << watch->Out().Text();
    watch->Signal(SIGINT);
    EXPECT_EQ(watch->Exit(), 0);
}

// The recording of the demo's scenario kept as data: replayed into served nodes, the
// receiver threads behind watch decode it to the scenario's keys and token frames.
TEST_F(RecordReplayTest, TheDemoRecordingReplaysToItsKeysAndTokenFrames) {
    auto replay = Ctl({"replay", "--virtual", "--json", "--speed", "20", kDemoRecording}, {});
    ASSERT_TRUE(replay->Out().WaitFor(Parsed([](const Json& j) {
        return Is(j, "event", "served");
    }))) << replay->Err().Text();
    const Json served = Json::parse(replay->Out().Lines().front());
    auto watch =
        Ctl({"watch", "--json"}, {"QUILLON_SYSFS_ROOT=" + served["sysfs_root"].get<std::string>(),
                                  "QUILLON_DEV_ROOT=" + served["dev_root"].get<std::string>()});
    EXPECT_EQ(replay->Exit(std::chrono::seconds(60)), 0) << replay->Err().Text();
    ASSERT_TRUE(watch->Out().WaitForAnywhere(
        Parsed([](const Json& j) { return Is(j, "receiver", "ir") && Is(j, "state", "lost"); })));
    watch->Signal(SIGINT);
    EXPECT_EQ(watch->Exit(), 0);

    std::vector<int> keys;
    std::vector<std::string> frames;
    for (const std::string& line : watch->Out().Lines()) {
        const Json j = Json::parse(line, nullptr, false);
        if (j.is_discarded())
            continue;
        // At twenty times the speed the IR dispatcher's end of a key can clear the
        // game pad's highlight between two of its repeats: a key seen again at once
        // is the same press.
        if (Is(j, "action", "down") && j["key"] != kTokenKeyId &&
            (keys.empty() || keys.back() != j["key"].get<int>()))
            keys.push_back(j["key"].get<int>());
        if (Is(j, "event", "token") && Is(j, "outcome", "ok"))
            frames.push_back(j["serial"].get<std::string>() + j["password"].get<std::string>());
    }
    EXPECT_EQ(keys, DemoRecordingKeys()) << watch->Out().Text();
    EXPECT_EQ(frames, DemoRecordingFrames()) << watch->Out().Text();
}

TEST_F(RecordReplayTest, AFileThatIsNotARecordingIsRefusedBeforeAnythingIsMade) {
    const std::string text = SmallRecording();
    // The third report cut short; the lines after it are fine.
    std::size_t pos = 0;
    int line = 1;
    for (int reports = 0; reports < 3; ++line) {
        if (text.compare(pos, 3, "E: ") == 0)
            ++reports;
        pos = text.find('\n', pos) + 1;
    }
    --line;
    const std::size_t start = text.rfind('\n', pos - 2) + 1;
    const std::string broken =
        text.substr(0, start) + "E: 000000.500000 6 03 01 22\n" + text.substr(pos);
    std::ofstream(m_dir + "/broken.hidrec") << broken;
    // A copy cut in the middle of a line, as a full disk leaves it.
    std::ofstream(m_dir + "/cut.hidrec") << text.substr(0, text.size() - 7);

    for (const char* target : {"--virtual", "--no-wait"}) {
        auto replay = Ctl({"replay", target, m_dir + "/broken.hidrec"}, {});
        EXPECT_EQ(replay->Exit(), 1);
        EXPECT_TRUE(replay->Out().Lines().empty()) << replay->Out().Text();
        EXPECT_EQ(replay->Err().Lines(),
                  std::vector<std::string>{"quillonctl: " + m_dir + "/broken.hidrec: line " +
                                           std::to_string(line) +
                                           ": E: gives 3 bytes, its size says 6 (is the file "
                                           "cut short?)"});
    }
    auto cut = Ctl({"replay", "--virtual", m_dir + "/cut.hidrec"}, {});
    EXPECT_EQ(cut->Exit(), 1);
    EXPECT_TRUE(cut->Out().Lines().empty());
    EXPECT_NE(cut->Err().Text().find("(is the file cut short?)"), std::string::npos)
        << cut->Err().Text();
    auto missing = Ctl({"replay", m_dir + "/none.hidrec"}, {});
    EXPECT_EQ(missing->Exit(), 1);
    EXPECT_NE(missing->Err().Text().find("No such file"), std::string::npos);
}

TEST_F(RecordReplayTest, WithoutAWritableUhidTheReplaySaysHowToGetIt) {
    const std::string file = m_dir + "/small.hidrec";
    std::ofstream(file) << SmallRecording();
    struct stat st {};
    std::unique_ptr<Process> replay;
    std::string expected;
    if (stat("/dev/uhid", &st) != 0) {
        replay = Ctl({"replay", file}, {});
        expected = "/dev/uhid does not exist: load the uhid module (sudo modprobe uhid)";
    } else if (geteuid() == 0) {
        chmod(m_dir.c_str(), 0755);
        chmod(file.c_str(), 0644);
        replay = std::make_unique<Process>(
            std::vector<std::string>{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                     "--clear-groups", QUILLONCTL_EXE, "replay", file},
            std::vector<std::string>{});
        expected = "/dev/uhid may not be written by you";
    } else if (access("/dev/uhid", W_OK) != 0) {
        replay = Ctl({"replay", file}, {});
        expected = "/dev/uhid may not be written by you";
    } else {
        GTEST_SKIP() << "/dev/uhid is writable here: the kernel tier replays through it";
    }
    EXPECT_EQ(replay->Exit(), 1);
    EXPECT_NE(replay->Err().Text().find(expected), std::string::npos) << replay->Err().Text();
}

}  // namespace
