// quillonctl test and quillonctl results as real processes, on the virtual kit with the
// scripted remote and the token-service simulator, recording into a real SQLite file:
// verdicts, exit statuses, the record, and the exports read back by other parsers.

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "station/key_coverage.h"
#include "tests/ctl/eol_fixture.h"

namespace {

using namespace eoltest;

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
    // One event per key, the last one included (its release ends the step).
    int pressedEvents = 0;
    for (const std::string& line : run->Out().Lines())
        pressedEvents += line.find("\"key_pressed\"") != std::string::npos ? 1 : 0;
    EXPECT_EQ(pressedEvents, 48);
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
        // The keys from the configuration file.
        fs::create_directories(m_dir + "/config/quillon");
        std::ofstream(m_dir + "/config/quillon/quillon.conf") << "keys = 5, 6\n";
        auto run = Test({"--serial", "123456789", "--key-timeout", "2"});
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
        auto run =
            Test({"--keys", "5,6", "--stuck-limit", "0.5", "--key-timeout", "20"});  // over it
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

// quillonctl test on a terminal of its own, as an operator has it: what it showed and
// its wait status. `onText` sees the output so far and may answer on the terminal.
struct Terminal {
    int master = -1;
    pid_t pid = -1;
    std::string shown;

    void Start(std::vector<std::string> args, const std::vector<std::string>& env) {
        winsize size{24, 120, 0, 0};
        int slave = -1;
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, &size), 0);
        std::vector<std::string> environment = ChildEnvironment(env);
        std::vector<char*> envp;
        for (std::string& e : environment)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            setsid();
            ioctl(slave, TIOCSCTTY, 0);
            for (int fd = 0; fd < 3; ++fd)
                dup2(slave, fd);
            closefrom(3);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        close(slave);
    }
    // Reads until `done` holds for what was shown, or the bound passes.
    bool ReadUntil(const std::function<bool(const std::string&)>& done,
                   std::chrono::milliseconds bound = kBound) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        char buffer[4096];
        while (!done(shown) && std::chrono::steady_clock::now() < deadline) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0)
                return done(shown);  // EIO: the program is gone
            shown.append(buffer, static_cast<std::size_t>(n));
        }
        return done(shown);
    }
    void Type(const std::string& text) {
        ASSERT_EQ(write(master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    int Wait() {
        ReadUntil([](const std::string&) { return false; }, 0ms);
        int status = -1;
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            ReadUntil([](const std::string&) { return false; }, 100ms);
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
            }
        }
        close(master);
        return status;
    }
};

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// At a terminal the label serial is asked for and a scanner types it and Enter; the
// keys still missing, the countdown and each step's verdict show as the run goes.
TEST_F(EolTest, AtATerminalTheScannedLabelStartsTheRunAndProgressShows) {
    ASSERT_TRUE(StartSimulator());
    Terminal terminal;
    m_opens = kit->IrOpens();
    m_gameOpens = kit->GameOpens();
    terminal.Start({QUILLONCTL_EXE, "test", "--keys", "5,mute", "--station", "bench-1", Endpoint()},
                   Env());
    ASSERT_TRUE(terminal.ReadUntil([](const std::string& t) { return Has(t, "Label serial"); }))
        << terminal.shown;
    terminal.Type("123456789\r");  // a scanner ends with Enter
    WaitForReceivers();
    ASSERT_TRUE(terminal.ReadUntil([](const std::string& t) {
        return Has(t, "press every key once (2): 5, mute");
    })) << terminal.shown;
    ASSERT_TRUE(terminal.ReadUntil([](const std::string& t) { return Has(t, " s  missing: 5"); }))
        << terminal.shown;
    remote->Press(53);
    ASSERT_TRUE(terminal.ReadUntil([](const std::string& t) {
        return Has(t, "pressed: 5 (1 left)");
    })) << terminal.shown;
    remote->Press(173);
    ASSERT_TRUE(terminal.ReadUntil([](const std::string& t) { return Has(t, "Keys: pass"); }))
        << terminal.shown;
    remote->PressTokenKey();
    const int status = terminal.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << terminal.shown;
    EXPECT_TRUE(Has(terminal.shown, "Token: pass")) << terminal.shown;
    EXPECT_TRUE(Has(terminal.shown, "PASS\r\n")) << terminal.shown;
    EXPECT_TRUE(Has(terminal.shown, "record: " + m_dir + "/state/quillon/results.sqlite"))
        << terminal.shown;

    auto results = Ctl({"results", "--format", "json"});
    EXPECT_EQ(results->Exit(kBound), 0);
    EXPECT_EQ(Json::parse(results->Out().Text())["label_serial"], "123456789");
}

// A service that takes the connection and never answers holds the run only until its
// time limit: ABORTED, promptly, with the record kept.
TEST_F(EolTest, AServiceThatHangsEndsAtTheRunsTimeLimit) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(listener, 8), 0);  // connections wait in the backlog, unanswered
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string endpoint =
        "--endpoint=http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/tokens.asmx";

    auto run = Test({"--keys", "5", "--timeout", "6"}, endpoint);
    WaitForReceivers();
    remote->Press(53);
    WaitForTokenStep(*run);
    remote->PressTokenKey();
    ASSERT_TRUE(run->Out().WaitForAnywhere(
        [](const std::string& l) { return l.find("\"event\":\"token\"") != std::string::npos; },
        kBound));
    const auto pressed = std::chrono::steady_clock::now();
    EXPECT_EQ(run->Exit(kBound), 10) << run->Err().Text();
    const auto took = std::chrono::steady_clock::now() - pressed;
    EXPECT_LT(took, 7s);  // the run's limit, not the call's 60 s
    const Json record = RecordOf(*run);
    EXPECT_EQ(record["outcome"], "ABORTED");
    EXPECT_EQ(record["why"], "the run's time limit passed");
    EXPECT_EQ(record["failed_step"], "token");
    ::close(listener);
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
