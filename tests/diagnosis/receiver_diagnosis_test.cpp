// Why a receiver can or cannot be used, on temporary sysfs/dev/udev trees that show
// one fault each: every fault gives its finding and its fix, and the window's one-line
// reason names the same cause.

#include "diagnosis/receiver_diagnosis.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/acl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/hid/hid_device.h"
#include "receiver/hid_manager.h"
#include "tests/support/kit_tree.h"
#include "tools/virtual_kit/virtual_hid_bus.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace kittree;

LoginSession Session(const char* id, unsigned uid, bool active, const char* seat = "seat0") {
    LoginSession s;
    s.id = id;
    s.uid = uid;
    s.active = active;
    s.seat = seat;
    s.type = "x11";
    return s;
}

// The user at the seat, in front.
LoginReport AtTheSeat() {
    LoginReport r;
    r.reached = true;
    r.own = Session("c1", kUser, true);
    r.seatActive = r.own;
    return r;
}

const Finding& Get(const std::vector<Finding>& findings, const std::string& check) {
    for (const Finding& f : findings) {
        if (f.check == check)
            return f;
    }
    static const Finding none{"(missing)", Severity::Fail, "", ""};
    ADD_FAILURE() << "no finding " << check;
    return none;
}

std::string Dump(const std::vector<Finding>& findings) {
    std::string text;
    for (const Finding& f : findings)
        text += std::string(SeverityKey(f.severity)) + " " + f.check + ": " + f.text +
                (f.fix.empty() ? "" : " [fix: " + f.fix + "]") + "\n";
    return text;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class ReceiverDiagnosisTest : public ::testing::Test {
protected:
    void SetUp() override {
        tree.UsbDevice();
        tree.Receivers();
        tree.Rule("70-quillon.rules");
        tree.SeatLate();
        if (!tree.GrantByAcl(3) || !tree.GrantByAcl(4))
            GTEST_SKIP() << "no ACLs in " << tree.root;
    }
    KitTree tree;
};

TEST_F(ReceiverDiagnosisTest, AHealthyKitPassesEveryCheck) {
    const LoginReport login = AtTheSeat();
    const KitFacts facts = tree.Facts();
    std::vector<Finding> findings = DiagnoseReceivers(facts, &login);
    findings.push_back(DiagnoseSession(facts, login));
    for (const Finding& f : findings)
        EXPECT_EQ(f.severity, Severity::Ok) << Dump(findings);
    EXPECT_TRUE(Contains(Get(findings, "usb").text, "USB device 1-1 (0471:0606, Orvane Receiver)"))
        << Dump(findings);
    EXPECT_TRUE(Contains(Get(findings, "usb").text, "1-1:1.0 (usbhid), 1-1:1.1 (usbhid)"));
    EXPECT_TRUE(Contains(Get(findings, "ir.interface").text, "hidraw3 is the IR receiver"));
    EXPECT_TRUE(Contains(Get(findings, "game.interface").text, "hidraw4 is the game-controller"));
    EXPECT_TRUE(
        Contains(Get(findings, "ir.access").text, "the ACL entry user:54321:rw- is for you"));
    EXPECT_TRUE(
        Contains(Get(findings, "udev-rule").text, "70-quillon.rules tags 0471:0606 uaccess"));
    EXPECT_TRUE(
        Contains(Get(findings, "session").text, "session c1 (x11) is local and active on seat0"));
    EXPECT_EQ(ReceiverReason(facts, true, &login), "");
    EXPECT_EQ(ReceiverReason(facts, false, &login), "");
}

// Root's node without the ACL uaccess would have added.
TEST_F(ReceiverDiagnosisTest, NoAclForYouMeansTheUaccessRuleDidNotApply) {
    acl_t plain = acl_from_text("u::rw-,g::---,o::---");
    ASSERT_EQ(acl_set_file(tree.Node(3).c_str(), ACL_TYPE_ACCESS, plain), 0);
    acl_free(plain);
    const LoginReport login = AtTheSeat();
    const KitFacts facts = tree.Facts();
    const std::vector<Finding> findings = DiagnoseReceivers(facts, &login);
    const Finding& access = Get(findings, "ir.access");
    EXPECT_EQ(access.severity, Severity::Fail);
    EXPECT_EQ(access.text, "you may not open " + tree.Node(3) + ": mode 0600, owner " +
                               UserName(geteuid()) + ", group " + GroupName(getegid()) +
                               ", others ---; no ACL entry for you: the "
                               "uaccess rule did not apply");
    EXPECT_EQ(access.fix, std::string(kRetriggerCommand) + " (or replug the receivers)");
    EXPECT_EQ(Get(findings, "game.access").severity, Severity::Ok);
    EXPECT_TRUE(Contains(ReceiverReason(facts, true, &login), "the uaccess rule did not apply"));
    // The window asks no logind; the cause is the same.
    EXPECT_TRUE(Contains(ReceiverReason(facts, true), "the uaccess rule did not apply"));
}

TEST_F(ReceiverDiagnosisTest, AMissingRuleIsNamedWithTheCommandsThatInstallIt) {
    fs::remove(tree.Udev() + "/etc/udev/rules.d/70-quillon.rules");
    chmod(tree.Node(3).c_str(), 0600);
    acl_t plain = acl_from_text("u::rw-,g::---,o::---");
    ASSERT_EQ(acl_set_file(tree.Node(3).c_str(), ACL_TYPE_ACCESS, plain), 0);
    acl_free(plain);
    const KitFacts facts = tree.Facts();
    const std::vector<Finding> findings = DiagnoseReceivers(facts, nullptr);
    EXPECT_TRUE(
        Contains(Get(findings, "ir.access").text, "no udev rule for 0471:0606 is installed"));
    EXPECT_EQ(Get(findings, "ir.access").fix, InstallRuleCommand());
    const Finding& rule = Get(findings, "udev-rule");
    EXPECT_EQ(rule.severity, Severity::Fail);
    EXPECT_EQ(rule.fix, InstallRuleCommand());
    EXPECT_TRUE(
        Contains(InstallRuleCommand(), "install -m 644 res/70-quillon.rules /etc/udev/rules.d/"));
    EXPECT_TRUE(Contains(ReceiverReason(facts, true), "no udev rule for 0471:0606 is installed"));
}

TEST_F(ReceiverDiagnosisTest, ARuleSortedAfterSeatLateComesTooLate) {
    const std::string late = tree.Udev() + "/etc/udev/rules.d/99-quillon.rules";
    fs::rename(tree.Udev() + "/etc/udev/rules.d/70-quillon.rules", late);
    acl_t plain = acl_from_text("u::rw-,g::---,o::---");
    ASSERT_EQ(acl_set_file(tree.Node(4).c_str(), ACL_TYPE_ACCESS, plain), 0);
    acl_free(plain);
    const KitFacts facts = tree.Facts();
    const std::vector<Finding> findings = DiagnoseReceivers(facts, nullptr);
    const Finding& rule = Get(findings, "udev-rule");
    EXPECT_EQ(rule.severity, Severity::Fail) << Dump(findings);
    EXPECT_EQ(rule.text, late +
                             " tags 0471:0606 uaccess but sorts after 73-seat-late.rules, "
                             "which has then already turned tags into ACLs");
    EXPECT_EQ(rule.fix, "sudo mv " + late + " " + tree.Udev() +
                            "/etc/udev/rules.d/70-quillon.rules && sudo udevadm control --reload "
                            "&& " +
                            kRetriggerCommand);
    EXPECT_TRUE(Contains(Get(findings, "game.access").text,
                         "99-quillon.rules sorts after 73-seat-late.rules"));
    EXPECT_EQ(Get(findings, "game.access").fix, rule.fix);
    EXPECT_EQ(Get(findings, "ir.access").severity, Severity::Ok);
}

// uaccess serves the active local session on the seat; this user's is behind another.
TEST_F(ReceiverDiagnosisTest, AnInactiveSessionIsWhyUaccessGaveNothing) {
    acl_t plain = acl_from_text("u::rw-,g::---,o::---");
    ASSERT_EQ(acl_set_file(tree.Node(3).c_str(), ACL_TYPE_ACCESS, plain), 0);
    acl_free(plain);
    LoginReport login;
    login.reached = true;
    login.own = Session("c1", kUser, false);
    login.seatActive = Session("c7", 0, true);
    const KitFacts facts = tree.Facts();
    const std::vector<Finding> findings = DiagnoseReceivers(facts, &login);
    const Finding& access = Get(findings, "ir.access");
    EXPECT_TRUE(Contains(access.text,
                         "session c1 (x11) on seat0 is not the active one; uaccess cannot "
                         "reach this session: it gives the receivers only to the active local "
                         "session on seat0, now session c7 (x11) of root"))
        << access.text;
    EXPECT_EQ(access.fix, "loginctl activate c1");
    const Finding session = DiagnoseSession(facts, login);
    EXPECT_EQ(session.severity, Severity::Fail);
    EXPECT_EQ(session.fix, "loginctl activate c1");

    // Over SSH, while the same user is in front on the seat: uaccess serves that user.
    login.own = Session("c9", kUser, true, "");
    login.own->remote = true;
    login.own->remoteHost = "10.0.0.2";
    login.seatActive = Session("c1", kUser, true);
    const Finding remote = DiagnoseSession(facts, login);
    EXPECT_EQ(remote.severity, Severity::Ok);
    EXPECT_TRUE(Contains(remote.text,
                         "session c9 (x11) is remote (from 10.0.0.2), but your "
                         "session c1 (x11) is the active one on seat0"))
        << remote.text;

    // Over SSH with someone else in front: uaccess cannot reach this session, and the
    // way round it is a group, or the seat.
    login.seatActive = Session("c7", 0, true);
    const Finding ssh = DiagnoseSession(facts, login);
    EXPECT_EQ(ssh.severity, Severity::Fail);
    EXPECT_TRUE(Contains(ssh.text, "is remote (from 10.0.0.2); uaccess cannot reach this session"))
        << ssh.text;
    EXPECT_EQ(ssh.fix, GroupRuleCommand("alice") + "; or run Quillon in the session at the seat");
    EXPECT_TRUE(Contains(ssh.fix, "sudo usermod -aG quillon alice")) << ssh.fix;
    EXPECT_TRUE(Contains(ssh.fix, "GROUP=\"quillon\", MODE=\"0660\"")) << ssh.fix;
    EXPECT_EQ(Get(DiagnoseReceivers(facts, &login), "ir.access").fix, ssh.fix);

    // No bus at all, and a bus without logind: two findings, and neither claims that
    // the rule did not apply, since the session could not be checked.
    LoginReport none;
    none.error = "system bus: No such file or directory";
    LoginReport noLogind;
    noLogind.busOpen = true;
    noLogind.error = "GetSessionByPID: org.freedesktop.DBus.Error.ServiceUnknown: no such name";
    const Finding noBus = DiagnoseSession(facts, none);
    const Finding withoutLogind = DiagnoseSession(facts, noLogind);
    EXPECT_EQ(noBus.severity, Severity::Warn);
    EXPECT_EQ(withoutLogind.severity, Severity::Warn);
    EXPECT_TRUE(Contains(noBus.text,
                         "cannot reach the system bus to ask logind: system bus: No "
                         "such file"))
        << noBus.text;
    EXPECT_TRUE(Contains(withoutLogind.text, "the system bus answers but logind does not ("))
        << withoutLogind.text;
    EXPECT_TRUE(Contains(withoutLogind.text, "ServiceUnknown")) << withoutLogind.text;
    for (const LoginReport* unknown : {&none, &noLogind}) {
        const Finding denied = Get(DiagnoseReceivers(facts, unknown), "ir.access");
        EXPECT_EQ(denied.severity, Severity::Fail);
        EXPECT_FALSE(Contains(denied.text, "did not apply")) << denied.text;
        EXPECT_TRUE(Contains(denied.text, "whether it serves your session is not known"))
            << denied.text;
        EXPECT_EQ(denied.fix, GroupRuleCommand("alice"));
    }
}

TEST_F(ReceiverDiagnosisTest, AProcessHoldingANodeIsNamed) {
    // flock(1) holds the game controller's node (-o: its command, which waits for its
    // stdin to close, does not share the lock); a shell has the IR one open unlocked.
    pid_t holder = -1, reader = -1;
    int ready[2], hold[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(hold, O_CLOEXEC), 0);
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, hold[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, ready[1], STDOUT_FILENO);
        const std::string node = tree.Node(4);
        char* argv[] = {const_cast<char*>("/usr/bin/flock"),
                        const_cast<char*>("-x"),
                        const_cast<char*>("-o"),
                        const_cast<char*>(node.c_str()),
                        const_cast<char*>("-c"),
                        const_cast<char*>("echo held; exec cat"),
                        nullptr};
        ASSERT_EQ(posix_spawn(&holder, argv[0], &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    close(hold[0]);
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ready[1], STDOUT_FILENO);
        const std::string script = "exec 3<" + tree.Node(3) + "; echo open; exec sleep 30";
        char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                        const_cast<char*>(script.c_str()), nullptr};
        ASSERT_EQ(posix_spawn(&reader, argv[0], &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    close(ready[1]);
    // Both have said so: the lock is taken and the node is open.
    std::string said;
    char buffer[32];
    ssize_t n;
    while (said.size() < std::strlen("held\nopen\n") &&
           (n = read(ready[0], buffer, sizeof buffer)) > 0)
        said.append(buffer, static_cast<std::size_t>(n));
    close(ready[0]);
    ASSERT_TRUE(Contains(said, "held") && Contains(said, "open")) << said;

    const KitFacts facts = tree.Facts();
    const std::vector<Finding> findings = DiagnoseReceivers(facts, nullptr);
    const Finding& held = Get(findings, "game.holder");
    EXPECT_EQ(held.severity, Severity::Fail);
    EXPECT_TRUE(Contains(held.text, "held by " + std::to_string(holder)));
    EXPECT_TRUE(Contains(held.text, "Quillon cannot open it exclusively"));
    EXPECT_EQ(held.fix, "kill " + std::to_string(holder));
    const Finding& along = Get(findings, "ir.holder");
    EXPECT_EQ(along.severity, Severity::Ok);
    EXPECT_TRUE(Contains(along.text, "open without one in " + std::to_string(reader)))
        << along.text;
    EXPECT_EQ(ReceiverReason(facts, false), tree.Node(4) + " is held by " + std::to_string(holder) +
                                                " (" + facts.nodes[1].holders[0].command + ")");
    for (pid_t pid : {holder, reader}) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    close(hold[1]);  // flock's command ends with its stdin
}

TEST(ReceiverAbsence, EachWayOfNotBeingThereHasItsOwnWords) {
    {
        KitTree tree;
        tree.UsbDevice();
        fs::remove_all(tree.Sys() + "/bus/usb/devices/1-1");
        const KitFacts facts = tree.Facts();
        const std::vector<Finding> findings = DiagnoseReceivers(facts, nullptr);
        EXPECT_EQ(Get(findings, "usb").text,
                  "no USB device 0471:0606 is connected: plug the receivers in");
        EXPECT_EQ(Get(findings, "ir.interface").severity, Severity::Fail);
        EXPECT_EQ(ReceiverReason(facts, true),
                  "no USB device 0471:0606 is connected: plug the receivers in");
    }
    {
        // Connected, one interface without its driver, so no hidraw node for it.
        KitTree tree;
        tree.UsbDevice(/*secondInterfaceBound=*/false);
        tree.AddInterface(3, OrvaneUevent(), kIrReceiverDescriptor);
        Write(tree.Node(3), "");
        const KitFacts facts = tree.Facts();
        const std::vector<Finding> findings = DiagnoseReceivers(facts, nullptr);
        EXPECT_EQ(Get(findings, "usb").severity, Severity::Fail);
        EXPECT_TRUE(Contains(Get(findings, "usb").text, "HID interface 1-1:1.1 has no driver"));
        EXPECT_EQ(Get(findings, "usb").fix, "sudo modprobe usbhid (or replug the receivers)");
        EXPECT_EQ(ReceiverReason(facts, false),
                  "the receivers are connected, but no hidraw interface is the game-controller "
                  "receiver");
    }
    {
        // sysfs has the interfaces, /dev not the nodes; a second IR interface whose node
        // is there is not the one the receiver thread keeps trying, so not the one named.
        KitTree tree;
        tree.UsbDevice();
        tree.Receivers(/*nodes=*/false);
        tree.AddInterface(5, OrvaneUevent(), kIrReceiverDescriptor);
        Write(tree.Node(5), "");
        const KitFacts facts = tree.Facts();
        const std::vector<Finding> findings = DiagnoseReceivers(facts, nullptr);
        EXPECT_EQ(Get(findings, "ir.node").fix,
                  "sudo udevadm trigger --subsystem-match=hidraw --action=add");
        EXPECT_EQ(ReceiverReason(facts, true),
                  tree.Node(3) + " is missing, though sysfs lists hidraw3");
        char path[kHidPathSize] = {};
        HidManager search;
        ASSERT_TRUE(search.FindIrReceiver(*tree.hid, path));
        EXPECT_EQ(std::string(path), tree.Node(3));
        EXPECT_EQ(ReceiverNodeOf(facts.nodes, NodeRole::IrReceiver)->path, tree.Node(3));
    }
}

}  // namespace
