// quillonctl doctor as a real process: a temporary sysfs/dev/udev tree that shows the
// faults, python3-dbusmock's logind, polkitd and systemd on a private bus, and the
// simulator or a closed port for the token service. Each fault gives its finding and
// its fix; a healthy set-up gives exit 0.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "tests/ctl/ctl_process.h"
#include "tests/service/loopback_server.h"
#include "tests/support/kit_tree.h"
#include "tests/support/systemd_mock.h"
#include "tools/virtual_kit/token_service_process.h"

namespace {

namespace fs = std::filesystem;
using namespace ctltest;
using Json = nlohmann::json;

constexpr uid_t kNobody = 65534;

class DoctorTest : public SystemdMockTest {
protected:
    void SetUp() override {
        SystemdMockTest::SetUp();
        if (IsSkipped())
            return;
        std::string why;
        if (!m_mock->AddLoginAndPolkit(&why))
            GTEST_SKIP() << why;
        // libcurl's proxy variables, inherited, would route the probe past the test's
        // servers.
        for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                                 "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
            unsetenv(name);

        tree.UsbDevice();
        tree.Receivers();
        tree.Rule("70-quillon.rules");
        tree.SeatLate();
        tree.OpenToAll();
        fs::create_directories(tree.root + "/config/quillon");
        fs::create_directories(tree.root + "/work");
        fs::create_directories(tree.root + "/run");
        fs::permissions(tree.root + "/run", fs::perms::owner_all);
        std::ofstream(tree.root + "/work/SN.ini") << "123456789";

        std::string error;
        ASSERT_TRUE(sim.Start(QUILLON_TOKEN_SIM, tree.root + "/token-state.txt",
                              tree.root + "/sim.log", kBound, &error))
            << error;
        std::ofstream(tree.root + "/config/quillon/quillon.conf")
            << "endpoint = " << sim.Endpoint() << "\n";
    }

    // The user at the seat is `uid`, in front, and this is their session.
    void AtTheSeat(uid_t uid) {
        m_mock->Mock(kLogin, kLoginPath, "AddSession", "ssusb", "c1", "seat0", unsigned{uid},
                     "user", 1);
        m_mock->Mock(kLogin, kLoginPath, "AddMethod", "sssss", "org.freedesktop.login1.Manager",
                     "GetSessionByPID", "u", "o", "ret = '/org/freedesktop/login1/session/c1'");
    }

    // quillonctl doctor; `asNobody`: as an unprivileged user (the test runs as root).
    std::unique_ptr<Process> Doctor(std::vector<std::string> args, bool asNobody = false) {
        return DoctorIn(tree, std::move(args), asNobody);
    }
    // The same on another machine of the test's (its config/, run/ and work/).
    static std::unique_ptr<Process> DoctorIn(const kittree::KitTree& on,
                                             std::vector<std::string> args, bool asNobody) {
        args.insert(args.begin(), {QUILLONCTL_EXE, "doctor", "--udev-root", on.Udev()});
        if (asNobody) {
            args.insert(args.begin(),
                        {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        }
        for (const char* dir : {"/config", "/run", "/work"})
            fs::create_directories(on.root + dir);
        chmod((on.root + "/run").c_str(), 0777);
        return std::make_unique<Process>(
            args,
            std::vector<std::string>{
                "QUILLON_SYSFS_ROOT=" + on.Sys(), "QUILLON_DEV_ROOT=" + on.Dev(),
                "XDG_CONFIG_HOME=" + on.root + "/config", "XDG_RUNTIME_DIR=" + on.root + "/run"},
            on.root + "/work");
    }

    // The private bus, for a user other than its owner.
    void OpenBusToAll() {
        const std::string address = m_mock->Address();
        const std::size_t start = address.find("path=") + 5;
        const std::string path = address.substr(start, address.find(',', start) - start);
        chmod(path.substr(0, path.rfind('/')).c_str(), 0755);
        chmod(path.c_str(), 0777);
    }

    static Json Checks(Process& doctor) {
        const Json json = Json::parse(doctor.Out().Text(), nullptr, false);
        EXPECT_FALSE(json.is_discarded()) << doctor.Out().Text() << doctor.Err().Text();
        Json byName = Json::object();
        if (!json.is_discarded()) {
            for (const Json& c : json["checks"])
                byName[c["check"].get<std::string>()] = c;
        }
        return byName;
    }

    kittree::KitTree tree;
    TokenServiceProcess sim;
};

TEST_F(DoctorTest, AHealthySetUpPassesEveryCheckAndExitsZero) {
    AtTheSeat(geteuid());
    for (int n : {3, 4})
        ASSERT_TRUE(tree.GrantByAcl(n, geteuid()));
    auto doctor = Doctor({});
    EXPECT_EQ(doctor->Exit(), 0) << doctor->Out().Text() << doctor->Err().Text();
    const std::vector<std::string> lines = doctor->Out().Lines();
    ASSERT_FALSE(lines.empty());
    for (std::size_t i = 0; i + 1 < lines.size(); ++i)
        EXPECT_EQ(lines[i].rfind("ok   ", 0), 0u) << doctor->Out().Text();
    EXPECT_EQ(lines.back(), std::to_string(lines.size() - 1) + " checks: 0 failed, 0 warnings");
    // One line per check, in order: the receivers, the session, the service, the token
    // service, SN.ini.
    const std::vector<std::string> order = {
        "usb",         "ir.interface",     "ir.node",          "ir.access",
        "ir.holder",   "game.interface",   "game.node",        "game.access",
        "game.holder", "udev-rule",        "session",          "service",
        "config",      "endpoint.resolve", "endpoint.connect", "endpoint.http",
        "sn-ini"};
    ASSERT_EQ(lines.size(), order.size() + 1) << doctor->Out().Text();
    for (std::size_t i = 0; i < order.size(); ++i)
        EXPECT_EQ(lines[i].substr(5, order[i].size() + 1), order[i] + ":") << lines[i];

    auto json = Doctor({"--json"});
    EXPECT_EQ(json->Exit(), 0);
    const Json checks = Checks(*json);
    EXPECT_EQ(checks["sn-ini"]["finding"],
              "SN.ini in " + tree.root + "/work holds the fixed serial 123456789");
    EXPECT_EQ(checks["service"]["finding"],
              "Keywarden.service is not installed: nothing of the maker's holds the receivers");
    EXPECT_EQ(checks["endpoint.resolve"]["status"], "ok");
    EXPECT_NE(checks["endpoint.http"]["finding"].get<std::string>().find(" answers HTTP "),
              std::string::npos);

    // Another program takes the game controller's node: a failure, with who it is.
    Process holder({"/usr/bin/flock", "-x", "-o", tree.Node(4), "-c", "echo held; exec cat"}, {});
    ASSERT_TRUE(holder.Out().WaitFor([](const std::string& l) { return l == "held"; }));
    auto held = Doctor({"--json"});
    EXPECT_EQ(held->Exit(), 8);
    const Json after = Checks(*held);
    EXPECT_EQ(after["game.holder"]["status"], "fail");
    EXPECT_NE(after["game.holder"]["finding"].get<std::string>().find("(flock)"), std::string::npos)
        << after["game.holder"];
    EXPECT_EQ(after["ir.holder"]["status"], "ok");
}

// Anyone may plant a FIFO where doctor reads a file (SN.ini in /tmp, a rule file): it
// is reported, and doctor ends as promptly as without it. An empty --endpoint is an
// error, not the built-in endpoint.
TEST_F(DoctorTest, AFifoForAFileIsReportedAndNeverWaitedOn) {
    AtTheSeat(geteuid());
    fs::remove(tree.root + "/work/SN.ini");
    ASSERT_EQ(::mkfifo((tree.root + "/work/SN.ini").c_str(), 0666), 0);
    const std::string fifoRule = tree.Udev() + "/etc/udev/rules.d/60-planted.rules";
    ASSERT_EQ(::mkfifo(fifoRule.c_str(), 0666), 0);

    auto doctor = Doctor({"--json", "--endpoint", ""});
    const auto start = std::chrono::steady_clock::now();
    ASSERT_NE(doctor->Exit(), -1) << "doctor hung";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    Json checks = Checks(*doctor);
    EXPECT_EQ(checks["sn-ini"]["status"], "warn");
    EXPECT_EQ(
        checks["sn-ini"]["finding"],
        "SN.ini in " + tree.root +
            "/work: is a FIFO, not a regular file; the comparison with a fixed serial is off");
    EXPECT_NE(checks["udev-rule"]["finding"].get<std::string>().find(
                  "cannot read " + fifoRule + ": is a FIFO, not a regular file"),
              std::string::npos)
        << checks["udev-rule"];
    EXPECT_EQ(checks["config"]["status"], "fail");
    EXPECT_NE(checks["config"]["finding"].get<std::string>().find("--endpoint: empty value"),
              std::string::npos)
        << checks["config"];
}

// As a user at the seat: a node uaccess did not reach, the maker's service running
// without the right to stop it, a closed port for the token service, a short SN.ini.
TEST_F(DoctorTest, EachFaultGivesItsFindingAndItsFix) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to run quillonctl as another user";
    OpenBusToAll();
    AtTheSeat(kNobody);
    ASSERT_TRUE(tree.GrantByAcl(4, kNobody));  // the game controller only
    m_mock->AddUnit("Keywarden.service", "active");
    std::ofstream(tree.root + "/work/SN.ini", std::ios::trunc) << "12345";

    auto doctor =
        Doctor({"--json", "--endpoint=http://127.0.0.1:1/keluserandhardwareservice.asmx"}, true);
    EXPECT_EQ(doctor->Exit(), 8) << doctor->Err().Text();
    Json checks = Checks(*doctor);
    EXPECT_EQ(checks["ir.access"]["status"], "fail");
    EXPECT_NE(checks["ir.access"]["finding"].get<std::string>().find(
                  "no ACL entry for you: the uaccess rule did not apply"),
              std::string::npos)
        << checks["ir.access"];
    EXPECT_EQ(checks["ir.access"]["fix"],
              "sudo udevadm trigger --subsystem-match=hidraw --action=change (or replug the "
              "receivers)");
    EXPECT_EQ(checks["game.access"]["status"], "ok") << checks["game.access"];
    EXPECT_EQ(checks["session"]["status"], "ok") << checks["session"];
    EXPECT_EQ(checks["service"]["status"], "fail");
    EXPECT_EQ(checks["service"]["fix"], "sudo systemctl stop Keywarden.service");
    EXPECT_EQ(checks["service.rights"]["finding"],
              "polkit does not let you stop Keywarden.service");
    EXPECT_EQ(checks["endpoint.resolve"]["status"], "ok");
    EXPECT_EQ(checks["endpoint.connect"]["status"], "fail");
    EXPECT_NE(checks["endpoint.connect"]["finding"].get<std::string>().find("Connection refused"),
              std::string::npos)
        << checks["endpoint.connect"];
    EXPECT_FALSE(checks.contains("endpoint.http"));
    EXPECT_EQ(checks["sn-ini"]["status"], "warn");

    // polkit lets this user manage units: the service is no fault any more.
    m_mock->Mock(kPolkit, kPolkitPath, "SetAllowed", "as", 1,
                 "org.freedesktop.systemd1.manage-units");
    doctor = Doctor({"--json"}, true);
    EXPECT_EQ(doctor->Exit(), 8);  // the IR node still
    checks = Checks(*doctor);
    EXPECT_EQ(checks["service"]["status"], "ok") << checks["service"];
    EXPECT_EQ(checks["service.rights"]["finding"],
              "polkit lets you stop and start Keywarden.service");

    // Someone else is in front: uaccess does not serve this user, and doctor says so.
    m_mock->Mock(kLogin, "/org/freedesktop/login1/session/c1", "UpdateProperties", "sa{sv}",
                 "org.freedesktop.login1.Session", 1, "Active", "b", 0);
    m_mock->Mock(kLogin, kLoginPath, "AddSession", "ssusb", "c2", "seat0", 1000u, "bob", 1);
    doctor = Doctor({"--json"}, true);
    EXPECT_EQ(doctor->Exit(), 8);
    checks = Checks(*doctor);
    EXPECT_EQ(checks["session"]["status"], "fail") << checks["session"];
    EXPECT_EQ(checks["session"]["fix"], "loginctl activate c1");
    EXPECT_EQ(checks["ir.access"]["fix"], "loginctl activate c1");
}

// Every way a check fails, on four machines: each failure names its fix, or says
// that there is none and why. The table ends by asking that every kind of check that
// can fail did fail somewhere, so a check added later is walked too.
TEST_F(DoctorTest, EveryFailedCheckCarriesAFixOrSaysWhyThereIsNone) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to run quillonctl as another user";
    std::map<std::string, std::string> failed;  // check -> the first fix or reason seen
    auto walk = [&](Process& doctor, const char* row) {
        EXPECT_EQ(doctor.Exit(), 8) << row << doctor.Err().Text();
        const Json checks = Checks(doctor);
        for (const auto& [name, c] : checks.items()) {
            if (c["status"] != "fail")
                continue;
            const std::string fix = c["fix"], noFix = c["no_fix"];
            EXPECT_TRUE(!fix.empty() || !noFix.empty()) << row << ": " << c;
            failed.emplace(name, fix.empty() ? "no fix, because " + noFix : fix);
        }
        return checks;
    };

    // Nothing plugged in, a configuration with a typo, and a system bus without logind.
    {
        kittree::KitTree bare;
        fs::create_directories(bare.Sys() + "/bus/usb/devices");
        fs::create_directories(bare.Sys() + "/class/hidraw");
        fs::create_directories(bare.root + "/config/quillon");
        std::ofstream(bare.root + "/config/quillon/quillon.conf") << "proxy = nowhere\n";
        SystemdMock noLogind;
        ASSERT_TRUE(noLogind.Start()) << noLogind.SkipReason();
        UseBusAddress(noLogind.Address());
        auto doctor = DoctorIn(bare, {"--json"}, false);
        const Json checks = walk(*doctor, "nothing plugged");
        EXPECT_EQ(checks["usb"]["no_fix"], "no command plugs a device in");
        EXPECT_EQ(checks["session"]["status"], "warn");
        EXPECT_NE(checks["session"]["finding"].get<std::string>().find(
                      "the system bus answers but logind does not"),
                  std::string::npos)
            << checks["session"];
        auto text = DoctorIn(bare, {}, false);
        EXPECT_EQ(text->Exit(), 8);
        EXPECT_NE(text->Out().Text().find("; no fix, because no command plugs a device in"),
                  std::string::npos)
            << text->Out().Text();
        UseBusAddress(m_mock->Address());
    }

    // A HID interface without its driver, no nodes, the built-in endpoint, no bus.
    {
        kittree::KitTree unbound;
        unbound.UsbDevice(false);
        unbound.Receivers(false);
        UseBusAddress(m_mock->DeadAddress());
        // A caller's own configuration directory does not leak in.
        setenv("XDG_CONFIG_HOME", "/nonexistent/hostile", 1);
        auto doctor = DoctorIn(unbound, {"--json"}, false);
        const Json checks = walk(*doctor, "no nodes");
        unsetenv("XDG_CONFIG_HOME");
        UseBusAddress(m_mock->Address());
        EXPECT_NE(checks["session"]["finding"].get<std::string>().find(
                      "cannot reach the system bus to ask logind"),
                  std::string::npos)
            << checks["session"];
        // The placeholder endpoint: the fix is the line to write, and where.
        EXPECT_EQ(checks["endpoint.resolve"]["status"], "fail");
        const std::string fix = checks["endpoint.resolve"]["fix"];
        EXPECT_NE(fix.find("is the built-in one"), std::string::npos) << fix;
        EXPECT_NE(fix.find(unbound.root + "/config/quillon/quillon.conf as the line `endpoint = "
                                          "http://<host>/keluserandhardwareservice.asmx`"),
                  std::string::npos)
            << fix;
    }

    // As a user at the seat whose session is behind another's: the IR node denied,
    // the game controller's held, the maker's service running and not theirs to stop,
    // a closed port for the token service.
    OpenBusToAll();
    AtTheSeat(kNobody);
    m_mock->Mock(kLogin, "/org/freedesktop/login1/session/c1", "UpdateProperties", "sa{sv}",
                 "org.freedesktop.login1.Session", 1, "Active", "b", 0);
    m_mock->Mock(kLogin, kLoginPath, "AddSession", "ssusb", "c2", "seat0", 1000u, "bob", 1);
    ASSERT_TRUE(tree.GrantByAcl(4, kNobody));
    m_mock->AddUnit("Keywarden.service", "active");
    {
        Process holder({"/usr/bin/flock", "-x", "-o", tree.Node(4), "-c", "echo held; exec cat"},
                       {});
        ASSERT_TRUE(holder.Out().WaitFor([](const std::string& l) { return l == "held"; }));
        auto doctor = Doctor(
            {"--json", "--endpoint=http://127.0.0.1:1/keluserandhardwareservice.asmx"}, true);
        walk(*doctor, "behind another session");
    }

    // No rule at all, and a service that answers 503.
    fs::remove(tree.Udev() + "/etc/udev/rules.d/70-quillon.rules");
    LoopbackServer server;
    server.SetDefaultReply({{LoopbackServer::Http(503, "busy")}, LoopbackServer::Then::Close});
    {
        auto doctor = Doctor({"--json", "--endpoint=" + server.Url()}, true);
        const Json checks = walk(*doctor, "no rule, 503");
        EXPECT_EQ(checks["endpoint.http"]["status"], "fail") << checks["endpoint.http"];
        EXPECT_NE(checks["endpoint.http"]["fix"].get<std::string>().find("down or overloaded"),
                  std::string::npos)
            << checks["endpoint.http"];
        EXPECT_EQ(checks["udev-rule"]["status"], "fail");
    }

    const std::set<std::string> kinds = {"usb",
                                         "ir.interface",
                                         "game.interface",
                                         "ir.node",
                                         "game.node",
                                         "ir.access",
                                         "game.holder",
                                         "udev-rule",
                                         "session",
                                         "service",
                                         "service.rights",
                                         "config",
                                         "endpoint.resolve",
                                         "endpoint.connect",
                                         "endpoint.http"};
    for (const std::string& kind : kinds)
        EXPECT_TRUE(failed.contains(kind)) << kind << " never failed in the table";
    for (const auto& [check, fix] : failed)
        EXPECT_TRUE(kinds.contains(check)) << "a failure the table does not name: " << check;
}

}  // namespace
