// quillonctl test and quillonctl results as real processes, on the virtual kit with the
// scripted remote and the token-service simulator, recording into a real SQLite file:
// verdicts, exit statuses, the record, and the exports read back by other parsers.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "station/key_coverage.h"
#include "tests/ctl/ctl_process.h"
#include "tools/virtual_kit/token_service_process.h"
#include "tools/virtual_kit/virtual_kit.h"
#include "tools/virtual_kit/virtual_remote.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace ctltest;
using Json = nlohmann::json;

std::int64_t NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class EolTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string templ = (fs::temp_directory_path() / "quillon-eol-XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        m_dir = templ;
        for (const char* sub : {"/config", "/state", "/runtime"})
            fs::create_directories(m_dir + sub);
        fs::permissions(m_dir + "/runtime", fs::perms::owner_all);
        kit = std::make_unique<VirtualKit>(KitNodes::Served);
        kit->PlugIr();
        kit->PlugGame();
        remote =
            std::make_unique<VirtualRemote>(*kit, DemoToken(), [this] { return clock.load(); });
    }
    void TearDown() override {
        remote.reset();
        kit.reset();
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    std::vector<std::string> Env() const {
        return {"QUILLON_SYSFS_ROOT=" + kit->Bus().SysRoot(),
                "QUILLON_DEV_ROOT=" + kit->Bus().DevRoot(), "XDG_CONFIG_HOME=" + m_dir + "/config",
                "XDG_STATE_HOME=" + m_dir + "/state", "XDG_RUNTIME_DIR=" + m_dir + "/runtime"};
    }
    std::unique_ptr<ChildProcess> Ctl(std::vector<std::string> args) {
        args.insert(args.begin(), QUILLONCTL_EXE);
        return std::make_unique<ChildProcess>(args, Env());
    }
    // A test run with JSON Lines, on the simulator unless `endpoint` says otherwise.
    std::unique_ptr<ChildProcess> Test(std::vector<std::string> extra, std::string endpoint = "") {
        std::vector<std::string> args = {"test",
                                         "--json",
                                         "--operator",
                                         "op-7",
                                         "--station",
                                         "bench-1",
                                         endpoint.empty() ? Endpoint() : endpoint};
        args.insert(args.end(), extra.begin(), extra.end());
        m_opens = kit->IrOpens();
        m_gameOpens = kit->GameOpens();
        return Ctl(args);
    }
    // Once both receiver threads have their receiver: the check's open, then theirs.
    void WaitForReceivers() {
        ASSERT_TRUE(kit->WaitForIrOpens(m_opens + 2, kBound));
        ASSERT_TRUE(kit->WaitForGameOpens(m_gameOpens + 2, kBound));
    }
    // The next time `step` begins (WaitFor: after what was matched before).
    static void WaitForStep(ChildProcess& run, const std::string& step,
                            std::chrono::milliseconds bound = kBound) {
        ASSERT_TRUE(run.Out().WaitFor(
            [&step](const std::string& l) {
                const Json j = Json::parse(l, nullptr, false);
                return !j.is_discarded() && j.value("event", "") == "step_begun" &&
                       j.value("step", "") == step;
            },
            bound))
            << run.Out().Text() << run.Err().Text();
    }
    static void WaitForTokenStep(ChildProcess& run, std::chrono::milliseconds bound = kBound) {
        WaitForStep(run, "token", bound);
    }
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
    std::string Endpoint() const {
        return sim.Running() ? "--endpoint=" + sim.Endpoint()
                             : "--endpoint=http://127.0.0.1:1/keluserandhardwareservice.asmx";
    }
    // The final record of a run's JSON Lines.
    static Json RecordOf(ChildProcess& run) {
        const auto lines = run.Out().Lines();
        EXPECT_FALSE(lines.empty());
        if (lines.empty())
            return {};
        Json record = Json::parse(lines.back(), nullptr, false);
        EXPECT_EQ(record.value("event", ""), "record") << run.Out().Text() << run.Err().Text();
        return record;
    }
    static Json KeyOf(const Json& record, const std::string& name) {
        for (const Json& key : record["keys"]) {
            if (key["name"] == name)
                return key;
        }
        ADD_FAILURE() << "no key " << name << " in " << record.dump();
        return {};
    }
    // A Python snippet over a file, its stdout.
    std::string Python(const std::string& code, const std::string& file) {
        const std::string script = m_dir + "/check.py";
        std::ofstream(script) << code;
        ChildProcess python({"/usr/bin/python3", script, file}, {});
        EXPECT_EQ(python.Exit(kBound), 0) << python.Err().Text();
        return python.Out().Text();
    }

    std::string m_dir;
    std::unique_ptr<VirtualKit> kit;
    std::unique_ptr<VirtualRemote> remote;
    std::atomic<std::int64_t> clock{NowSeconds()};
    TokenServiceProcess sim;
    int m_opens = 0;
    int m_gameOpens = 0;
};

// Every key of the remote and the game pad, then the token: PASS, recorded, and the
// same record in each export; the unit's second run counts as a retest.
TEST_F(EolTest, EveryKeyAndTheTokenPassAndTheRecordReadsBackInEveryFormat) {
    ASSERT_TRUE(StartSimulator());
    const std::string junit = m_dir + "/run.xml";
    auto run = Test({"--serial", "123456789", "--junit", junit});
    WaitForReceivers();
    ASSERT_TRUE(remote->PressEach(*ParseKeySelection("all", nullptr)));
    WaitForTokenStep(*run, 60s);
    remote->PressTokenKey();
    EXPECT_EQ(run->Exit(kBound), 0) << run->Err().Text();
    const Json record = RecordOf(*run);
    EXPECT_EQ(record["outcome"], "PASS");
    EXPECT_EQ(record["station"], "bench-1");
    EXPECT_EQ(record["operator"], "op-7");
    EXPECT_EQ(record["label_serial"], "123456789");
    EXPECT_EQ(record["token_serial"], "123456789");
    EXPECT_EQ(record["retest"], 0);
    EXPECT_EQ(record["keys"].size(), 48u);
    EXPECT_EQ(KeyOf(record, "game pad button 8")["presses"], 1);
    EXPECT_EQ(record["service_calls"][0]["result"], 0);
    EXPECT_FALSE(record.contains("passwords"));  // not without --keep-passwords
    EXPECT_EQ(fs::status(m_dir + "/state/quillon/results.sqlite").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    // JUnit by a real XML parser: one suite, a case per step, none failed.
    EXPECT_EQ(Python("import sys, xml.etree.ElementTree as E\n"
                     "s = E.parse(sys.argv[1]).getroot().find('testsuite')\n"
                     "print(len(s.findall('testcase')), s.get('failures'), s.get('errors'))\n",
                     junit),
              "3 0 0\n");

    // A second, quicker run of the same unit: a retest.
    auto again = Test({"--serial", "123456789", "--keys", "5"});
    WaitForReceivers();
    remote->Press(53);
    WaitForTokenStep(*again);
    clock += 30;  // the next password: the service takes each one once
    remote->PressTokenKey();
    EXPECT_EQ(again->Exit(kBound), 0) << again->Err().Text();
    EXPECT_EQ(RecordOf(*again)["retest"], 1);

    // results: newest first, as JSON Lines, and as CSV read by Python's csv module.
    auto json = Ctl({"results", "--format", "json"});
    EXPECT_EQ(json->Exit(kBound), 0) << json->Err().Text();
    const auto lines = json->Out().Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Json::parse(lines[1])["id"], record["id"]);
    EXPECT_EQ(Json::parse(lines[1])["keys"], record["keys"]);
    const std::string csvFile = m_dir + "/runs.csv";
    auto csv = Ctl({"results", "--format", "csv", "--serial", "123456789"});
    EXPECT_EQ(csv->Exit(kBound), 0);
    std::ofstream(csvFile) << csv->Out().Text();
    EXPECT_EQ(Python("import csv, sys\n"
                     "rows = list(csv.DictReader(open(sys.argv[1], newline='')))\n"
                     "print(len(rows), rows[1]['outcome'], rows[1]['retest'], rows[0]['retest'])\n",
                     csvFile),
              "2 PASS 0 1\n");
    auto summary = Ctl({"results", "--summary", "--json"});
    EXPECT_EQ(summary->Exit(kBound), 0);
    const Json sum = Json::parse(summary->Out().Text());
    EXPECT_EQ(sum["runs"], 2);
    EXPECT_EQ(sum["units"], 1);
    EXPECT_EQ(sum["retests"], 1);
}

// A key not pressed in time fails by its name; one pressed twice at once and one held
// too long are flagged. Both exit 9.
TEST_F(EolTest, MissingDoubleAndStuckKeysFailTheRun) {
    {
        auto run = Test({"--serial", "123456789", "--keys", "5,6", "--key-timeout", "2"});
        WaitForReceivers();
        remote->Press(53);
        EXPECT_EQ(run->Exit(kBound), 9) << run->Err().Text();
        const Json record = RecordOf(*run);
        EXPECT_EQ(record["outcome"], "FAIL");
        EXPECT_EQ(record["failed_step"], "keys");
        EXPECT_EQ(record["why"], "key 6 not pressed");
        EXPECT_TRUE(KeyOf(record, "6")["missing"]);
    }
    {
        auto run = Test({"--keys", "5,6", "--stuck-limit", "0.5", "--key-timeout", "20"});
        WaitForReceivers();
        remote->Press(53);
        remote->Press(53);  // at once: the toggle bit flips, the dispatcher sees two presses
        remote->Hold(54);
        ASSERT_TRUE(remote->WaitIdle());
        std::this_thread::sleep_for(800ms);  // held past the stuck limit
        remote->Release();
        EXPECT_EQ(run->Exit(kBound), 9) << run->Err().Text();
        const Json record = RecordOf(*run);
        EXPECT_TRUE(KeyOf(record, "5")["doubled"]) << record.dump();
        EXPECT_TRUE(KeyOf(record, "6")["stuck"]) << record.dump();
        EXPECT_EQ(record["why"], "key 6 stuck");
    }
}

// The token's verdicts: a wrong label, a bound token, a service nobody answers.
TEST_F(EolTest, TokenVerdictsGiveTheirStatuses) {
    {
        auto run = Test({"--serial", "987654321", "--keys", "5"});
        WaitForReceivers();
        remote->Press(53);
        WaitForTokenStep(*run);
        remote->PressTokenKey();
        EXPECT_EQ(run->Exit(kBound), 5);
        EXPECT_EQ(RecordOf(*run)["why"], "token serial 123456789 is not the label's 987654321");
    }
    {
        auto run = Test({"--keys", "5"});  // no simulator: nobody answers
        WaitForReceivers();
        remote->Press(53);
        WaitForTokenStep(*run);
        remote->PressTokenKey();
        EXPECT_EQ(run->Exit(kBound), 7);
        const Json record = RecordOf(*run);
        EXPECT_EQ(record["outcome"], "ERROR");
        EXPECT_EQ(record["why"], "token service unreachable");
    }
    ASSERT_TRUE(StartSimulator(/*bound=*/true));
    {
        auto run = Test({"--keys", "5"});
        WaitForReceivers();
        remote->Press(53);
        WaitForTokenStep(*run);
        remote->PressTokenKey();
        EXPECT_EQ(run->Exit(kBound), 6);
        const Json record = RecordOf(*run);
        EXPECT_EQ(record["why"], "token bound to a user (result 21030)");
        EXPECT_EQ(record["service_calls"][0]["result"], 21030);
    }
}

// A drifted token fails its verification, is calibrated with two presses and passes
// with a fresh one: three service calls in the record.
TEST_F(EolTest, CalibrateOnFailMendsADriftedToken) {
    ASSERT_TRUE(StartSimulator());
    remote->DriftBy(10);
    auto run = Test({"--keys", "5", "--calibrate-on-fail", "--wait-period", "0.3"});
    WaitForReceivers();
    remote->Press(53);
    WaitForTokenStep(*run);
    remote->PressTokenKey();
    WaitForStep(*run, "calibration");
    remote->PressTokenKey();
    ASSERT_TRUE(remote->WaitIdle());
    remote->DriftBy(1);
    remote->PressTokenKey();
    WaitForTokenStep(*run);
    clock += 30;
    remote->PressTokenKey();
    EXPECT_EQ(run->Exit(kBound), 0) << run->Out().Text() << run->Err().Text();
    const Json record = RecordOf(*run);
    EXPECT_EQ(record["calibration"], "passed");
    // As kind, outcome: the two verifications with the calibration between.
    const Json calls = record["service_calls"];
    ASSERT_EQ(calls.size(), 3u) << record.dump();
    EXPECT_EQ(calls[0]["outcome"], "not_passed");
    EXPECT_EQ(calls[1]["kind"], "calibrate");
    EXPECT_EQ(calls[1]["outcome"], "passed");
    EXPECT_EQ(calls[2]["kind"], "verify");
    EXPECT_EQ(calls[2]["outcome"], "passed");
    const Json steps = record["steps"];
    ASSERT_EQ(steps.size(), 5u) << record.dump();
    EXPECT_EQ(steps[2]["outcome"], "fail");
    EXPECT_EQ(steps[3]["name"], "calibration");
    EXPECT_EQ(steps[3]["outcome"], "pass");
    EXPECT_EQ(steps[4]["name"], "token");
    EXPECT_EQ(steps[4]["outcome"], "pass");
}

// A receiver unplugged mid-run is an ERROR; Ctrl-C ends the run ABORTED with its
// record kept; a run killed outright shows as ABORTED at the next open of the store.
TEST_F(EolTest, UnplugSignalAndKillEndTheRunPromptlyAndAreRecorded) {
    {
        auto run = Test({"--keys", "5"});
        WaitForReceivers();
        kit->UnplugGame();
        EXPECT_EQ(run->Exit(kBound), 2);
        const Json record = RecordOf(*run);
        EXPECT_EQ(record["outcome"], "ERROR");
        EXPECT_EQ(record["why"], "the game-pad receiver was lost");
        kit->PlugGame();
    }
    {
        auto run = Test({"--keys", "5"});
        WaitForReceivers();
        const auto sent = std::chrono::steady_clock::now();
        run->Signal(SIGINT);
        EXPECT_EQ(run->Exit(kBound), 10);
        EXPECT_LT(std::chrono::steady_clock::now() - sent, 5s);
        const Json record = RecordOf(*run);
        EXPECT_EQ(record["outcome"], "ABORTED");
        EXPECT_EQ(record["why"], "stopped by signal 2");
    }
    {
        auto run = Test({"--keys", "5"});
        WaitForReceivers();
        run->Signal(SIGKILL);
        run->Wait(kBound);
    }
    auto results = Ctl({"results", "--format", "json"});
    EXPECT_EQ(results->Exit(kBound), 0) << results->Err().Text();
    const auto lines = results->Out().Lines();
    ASSERT_EQ(lines.size(), 3u) << results->Out().Text();
    const Json killed = Json::parse(lines[0]);
    EXPECT_EQ(killed["outcome"], "ABORTED");
    EXPECT_EQ(Json::parse(lines[1])["outcome"], "ABORTED");
    EXPECT_EQ(Json::parse(lines[2])["outcome"], "ERROR");
}

}  // namespace
