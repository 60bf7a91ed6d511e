#pragma once

// The end-of-line tests' bench: the virtual kit served to quillonctl, the scripted
// remote, the token-service simulator and a state directory of the test's own.

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

#include "tests/ctl/ctl_process.h"
#include "tools/virtual_kit/token_service_process.h"
#include "tools/virtual_kit/virtual_kit.h"
#include "tools/virtual_kit/virtual_remote.h"

namespace eoltest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace ctltest;
using Json = nlohmann::json;

inline std::int64_t NowSeconds() {
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
        std::vector<std::string> env = {
            "QUILLON_SYSFS_ROOT=" + kit->Bus().SysRoot(),
            "QUILLON_DEV_ROOT=" + kit->Bus().DevRoot(), "XDG_CONFIG_HOME=" + m_dir + "/config",
            "XDG_STATE_HOME=" + m_dir + "/state", "XDG_RUNTIME_DIR=" + m_dir + "/runtime"};
        env.insert(env.end(), m_extraEnv.begin(), m_extraEnv.end());
        return env;
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
    std::vector<std::string> m_extraEnv;
};

}  // namespace eoltest
