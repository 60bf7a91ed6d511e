#include "diagnosis/receiver_diagnosis.h"

#include <algorithm>
#include <cstring>

#include "platform/hid/hid_device.h"
#include "platform/process/display_escape.h"
#include "platform/system/service_control.h"
#include "receiver/hid_manager.h"

namespace {

constexpr const char* kSeat = "seat0";

struct Cause {
    std::string text;
    std::string fix;
    std::string noFix = {};
};

constexpr const char* kGroup = "quillon";

const char* Key(bool ir) {
    return ir ? "ir" : "game";
}

NodeRole RoleFor(bool ir) {
    return ir ? NodeRole::IrReceiver : NodeRole::GameReceiver;
}

std::string Label(bool ir) {
    return ir ? "IR receiver" : "game-controller receiver";
}

std::vector<const NodeReport*> NodesOf(const KitFacts& facts, NodeRole role) {
    std::vector<const NodeReport*> found;
    for (const NodeReport& node : facts.nodes) {
        if (node.role == role)
            found.push_back(&node);
    }
    return found;
}

const NodeReport* ReceiverNode(const KitFacts& facts, bool ir) {
    return ReceiverNodeOf(facts.nodes, RoleFor(ir));
}

bool AnyReceiverDenied(const KitFacts& facts) {
    for (bool ir : {true, false}) {
        const NodeReport* node = ReceiverNode(facts, ir);
        if (node != nullptr && node->present && !node->mayOpen)
            return true;
    }
    return false;
}

std::string AccessText(const KitFacts& facts, const NodeReport& node) {
    if (!node.securityRead)
        return std::string("cannot read its mode: ") + std::strerror(node.accessError);
    std::string text = DescribeAccess(node.security, facts.who, node.decision);
    // access(2) may refuse what mode and ACL allow (a read-only mount, a security
    // module, root without its capability); say so rather than contradict it.
    if (!node.mayOpen && node.decision.granted)
        text += std::string("; yet the system refuses: ") + std::strerror(node.accessError);
    return text;
}

// Whether the session as logind tells it is one that uaccess serves; `known` false
// when logind was not asked or did not answer.
struct SessionVerdict {
    bool known = false;
    bool served = false;
    std::string text;
    std::string fix;
};

// For a session uaccess cannot serve: the group's rule, or the seat.
std::string GroupOrSeat(const KitFacts& facts) {
    return GroupRuleCommand(facts.userName) + "; or run Quillon in the session at the seat";
}

std::string SessionName(const LoginSession& s) {
    std::string text = "session " + s.id;
    if (!s.type.empty())
        text += " (" + s.type + ")";
    return text;
}

SessionVerdict JudgeSession(const KitFacts& facts, const LoginReport* login) {
    SessionVerdict v;
    if (login == nullptr)
        return v;
    if (!login->reached) {
        // No logind on a live bus means no uaccess at all; no bus says nothing of logind.
        v.text = login->busOpen ? "the system bus answers but logind does not (" + login->error +
                                      "): without systemd-logind nothing gives uaccess ACLs"
                                : "cannot reach the system bus to ask logind: " + login->error;
        v.fix = GroupRuleCommand(facts.userName);
        return v;
    }
    v.known = true;
    const std::string who = "uid " + std::to_string(facts.who.uid);
    const bool seatIsYours = login->seatActive && login->seatActive->uid == facts.who.uid;
    if (login->own) {
        const LoginSession& own = *login->own;
        const bool local = !own.remote && !own.seat.empty();
        if (local && own.active) {
            v.served = true;
            v.text = SessionName(own) + " is local and active on " + own.seat;
            return v;
        }
        std::string what;
        if (own.remote)
            what = SessionName(own) + " is remote" +
                   (own.remoteHost.empty() ? "" : " (from " + own.remoteHost + ")");
        else if (own.seat.empty())
            what = SessionName(own) + " is on no seat";
        else
            what = SessionName(own) + " on " + own.seat + " is not the active one";
        if (seatIsYours) {
            v.served = true;
            v.text = what + ", but your " + SessionName(*login->seatActive) +
                     " is the active one on " + kSeat + ", which uaccess serves";
            return v;
        }
        v.text = what;
        if (!own.seat.empty() && !own.remote)
            v.fix = "loginctl activate " + own.id;
        else
            v.fix = GroupOrSeat(facts);
    } else {
        if (seatIsYours) {
            v.served = true;
            v.text = "this process is in no login session, but your " +
                     SessionName(*login->seatActive) + " is the active one on " + kSeat;
            return v;
        }
        v.text = "this process is in no login session (" + login->ownError + ")";
        v.fix = GroupOrSeat(facts);
    }
    v.text += std::string(
                  "; uaccess cannot reach this session: it gives the receivers only to "
                  "the active local session on ") +
              kSeat;
    if (login->seatActive)
        v.text +=
            ", now " + SessionName(*login->seatActive) + " of " + UserName(login->seatActive->uid);
    else if (!login->seatError.empty())
        v.text += " (" + login->seatError + ")";
    return v;
}

// Why a present node is not this user's, from the rules and the session.
Cause CauseOfDenial(const KitFacts& facts, const NodeReport& node, const LoginReport* login) {
    if (node.decision.granted)
        return {"", "",
                "mode and ACL allow it, and what refuses (a read-only mount, a security module) "
                "is beyond what doctor reads"};
    const UdevRuleReport& rules = facts.rules;
    if (rules.files.empty())
        return {"no udev rule for 0471:0606 is installed", InstallRuleCommand()};
    if (const UdevRuleFile* late = rules.LateUaccessFile()) {
        const std::string dir = late->path.substr(0, late->path.rfind('/'));
        return {
            late->name + " sorts after " + kSeatLateRules + ", so its uaccess tag comes too late",
            "sudo mv " + late->path + " " + dir + "/70-quillon.rules && " +
                "sudo udevadm control --reload && " + kRetriggerCommand};
    }
    if (rules.AnyUaccess()) {
        if (!rules.seatLateFound)
            return {std::string("nothing turns the uaccess tag into an ACL: ") + kSeatLateRules +
                        " is not installed (no systemd-logind?)",
                    GroupRuleCommand(facts.userName)};
        const SessionVerdict session = JudgeSession(facts, login);
        if (session.known && !session.served)
            return {session.text, session.fix};
        // Unchecked, the session may be the cause as well as a rule that did not run.
        if (login != nullptr && !session.known &&
            node.decision.via != AccessDecision::Via::UserEntry)
            return {"no ACL entry from uaccess, and whether it serves your session is not known: " +
                        session.text,
                    session.fix};
        if (node.decision.via != AccessDecision::Via::UserEntry)
            return {"the uaccess rule did not apply",
                    std::string(kRetriggerCommand) + " (or replug the receivers)"};
    }
    for (const UdevRuleFile& file : rules.files) {
        for (const UdevRuleMatch& rule : file.rules) {
            if (rule.group.empty())
                continue;
            const gid_t gid = node.security.group;
            if (GroupName(gid) == rule.group && !facts.who.InGroup(gid)) {
                return {EscapeForDisplay(file.name) + " gives group " + rule.group +
                            " access, and you are not in it",
                        "sudo usermod -aG " + rule.group + " " + facts.userName +
                            " (then log in again)"};
            }
        }
    }
    return {"", "", "neither the rules nor the session explain it"};
}

Finding UsbFinding(const KitFacts& facts) {
    Finding f{"usb", Severity::Ok, "", ""};
    const UsbSurvey& usb = facts.usb;
    if (!usb.busListed) {
        f.severity = Severity::Warn;
        f.text = facts.sysRoot +
                 "/bus/usb is not there (not a real sysfs?): the kit's USB "
                 "device cannot be checked, its hidraw interfaces are below";
        return f;
    }
    if (usb.devices.empty()) {
        f.severity = Severity::Fail;
        f.text = "no USB device 0471:0606 is connected: plug the receivers in";
        f.noFix = "no command plugs a device in";
        return f;
    }
    const UsbDeviceReport& device = usb.devices.front();
    std::vector<std::string> bound, unbound;
    for (const UsbInterfaceReport& i : device.interfaces) {
        if (i.interfaceClass != "03")
            continue;
        (i.driver.empty() ? unbound : bound)
            .push_back(i.name + (i.driver.empty() ? "" : " (" + i.driver + ")"));
    }
    auto list = [](const std::vector<std::string>& names) {
        std::string text;
        for (const std::string& n : names)
            text += (text.empty() ? "" : ", ") + n;
        return text;
    };
    f.text = "USB device " + device.name + " (0471:0606" +
             (device.product.empty() ? "" : ", " + device.product) + ") is connected";
    if (!unbound.empty()) {
        f.severity = Severity::Fail;
        f.text += "; HID interface " + list(unbound) + " has no driver";
        f.fix = "sudo modprobe usbhid (or replug the receivers)";
    } else if (bound.size() < 2) {
        f.severity = Severity::Fail;
        f.text += " with " + std::to_string(bound.size()) +
                  " HID interface(s); the kit has two (IR and game controller)";
        f.noFix = "what a device reports is its own: it is not the kit's receiver, or a faulty one";
    } else {
        f.text += "; HID interfaces " + list(bound);
    }
    if (usb.devices.size() > 1 && f.severity == Severity::Ok) {
        f.severity = Severity::Warn;
        f.text += "; " + std::to_string(usb.devices.size()) +
                  " such devices are connected and Quillon uses the first receivers it finds";
    }
    return f;
}

Cause AbsenceCause(const KitFacts& facts, bool ir) {
    if (!facts.nodesListed)
        return {facts.nodesError, "", "without the list of hidraw nodes the cause is not known"};
    if (facts.usb.busListed && facts.usb.devices.empty())
        return {"no USB device 0471:0606 is connected: plug the receivers in", "",
                "no command plugs a device in"};
    if (facts.usb.busListed)
        return {"the receivers are connected, but no hidraw interface is the " + Label(ir),
                "sudo modprobe hidraw (or replug the receivers)"};
    return {"no " + Label(ir) + " of the kit (USB 0471:0606) among the hidraw nodes", "",
            "without sysfs' USB devices it is not known whether the kit is plugged in"};
}

void ReceiverFindings(const KitFacts& facts, bool ir, const LoginReport* login,
                      std::vector<Finding>* out) {
    const std::string key = Key(ir);
    const std::vector<const NodeReport*> nodes = NodesOf(facts, RoleFor(ir));
    const NodeReport* node = ReceiverNode(facts, ir);
    if (node == nullptr) {
        const Cause cause = AbsenceCause(facts, ir);
        out->push_back({key + ".interface", Severity::Fail, cause.text, cause.fix, cause.noFix});
        return;
    }
    Finding interface {
        key + ".interface", Severity::Ok,
            node->name + " is the " + Label(ir) +
                (node->usbPath.empty() ? "" : " (" + node->usbPath + ")"),
            ""
    };
    if (nodes.size() > 1) {
        interface.severity = Severity::Warn;
        interface.text += "; " + std::to_string(nodes.size()) + " hidraw nodes are " + Label(ir) +
                          "s, and Quillon opens the first";
    }
    out->push_back(interface);

    if (!node->present) {
        out->push_back({key + ".node", Severity::Fail,
                        node->path + " is missing, though sysfs lists " + node->name,
                        "sudo udevadm trigger --subsystem-match=hidraw --action=add"});
        return;
    }
    out->push_back({key + ".node", Severity::Ok, node->path + " exists", ""});

    if (node->mayOpen) {
        out->push_back({key + ".access", Severity::Ok,
                        "you may read and write " + node->path + ": " + AccessText(facts, *node),
                        ""});
    } else {
        const Cause cause = CauseOfDenial(facts, *node, login);
        out->push_back({key + ".access", Severity::Fail,
                        "you may not open " + node->path + ": " + AccessText(facts, *node) +
                            (cause.text.empty() ? "" : ": " + cause.text),
                        cause.fix, cause.noFix});
    }

    std::vector<NodeHolder> others;
    for (const auto& [path, openers] : facts.openers) {
        if (path == node->path)
            others = openers;
    }
    if (!node->holders.empty()) {
        bool maker = false;
        for (const NodeHolder& h : node->holders) {
            std::string command = h.command;
            std::transform(command.begin(), command.end(), command.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            maker = maker || command.find("keywarden") != std::string::npos;
        }
        const NodeHolder& first = node->holders.front();
        out->push_back(
            {key + ".holder", Severity::Fail,
             "held by " + HoldersText(node->holders) + ": Quillon cannot open it exclusively",
             maker ? std::string("sudo systemctl stop ") + kKeywardenUnit
                   : (first.pid > 0 ? "kill " + std::to_string(first.pid) : ""),
             maker || first.pid > 0 ? ""
                                    : "the holder's PID is not seen from here (another PID "
                                      "namespace), so there is nothing to name"});
    } else if (!others.empty()) {
        out->push_back({key + ".holder", Severity::Ok,
                        "no lock on it; open without one in " + HoldersText(others) +
                            ", which reads along and does not stop Quillon",
                        ""});
    } else {
        out->push_back({key + ".holder", Severity::Ok, "no other program holds it", ""});
    }
}

Finding RuleFinding(const KitFacts& facts) {
    Finding f{"udev-rule", Severity::Ok, "", ""};
    const UdevRuleReport& rules = facts.rules;
    const bool denied = AnyReceiverDenied(facts);
    std::string problems;
    for (const std::string& p : rules.problems)
        problems += "; cannot read " + p;
    if (rules.files.empty()) {
        f.severity = denied ? Severity::Fail : Severity::Warn;
        f.text = "no udev rule for 0471:0606 is installed" +
                 std::string(denied ? "" : " (you may open the receivers all the same)") + problems;
        f.fix = InstallRuleCommand();
        return f;
    }
    const UdevRuleFile& first = rules.files.front();
    if (const UdevRuleFile* late = rules.LateUaccessFile()) {
        const std::string dir = late->path.substr(0, late->path.rfind('/'));
        f.severity = denied ? Severity::Fail : Severity::Warn;
        f.text = EscapeForDisplay(late->path) + " tags 0471:0606 uaccess but sorts after " +
                 kSeatLateRules + ", which has then already turned tags into ACLs" + problems;
        f.fix = "sudo mv " + EscapeForDisplay(late->path) + " " + EscapeForDisplay(dir) +
                "/70-quillon.rules && " + "sudo udevadm control --reload && " + kRetriggerCommand;
        return f;
    }
    std::string how;
    for (const UdevRuleMatch& rule : first.rules) {
        if (rule.uaccess)
            how = std::string("tags 0471:0606 uaccess, before ") + kSeatLateRules;
        else if (how.empty() && (!rule.mode.empty() || !rule.group.empty()))
            how = "gives 0471:0606" +
                  (rule.mode.empty() ? "" : " mode " + EscapeForDisplay(rule.mode)) +
                  (rule.group.empty() ? "" : " group " + EscapeForDisplay(rule.group));
    }
    if (how.empty())
        how = "matches 0471:0606 but grants no access (no uaccess tag, mode or group)";
    f.text = EscapeForDisplay(first.path) + " " + how + problems;
    if (rules.AnyUaccess() && !rules.seatLateFound) {
        f.severity = denied ? Severity::Fail : Severity::Warn;
        f.text += std::string("; ") + kSeatLateRules +
                  " is not installed, so nothing turns the tag into an ACL";
        f.fix = GroupRuleCommand(facts.userName);
    }
    return f;
}

}  // namespace

std::string GroupRuleCommand(const std::string& user) {
    return std::string("sudo groupadd -f ") + kGroup + " && sudo usermod -aG " + kGroup + " " +
           user + " && echo 'KERNEL==\"hidraw*\", ATTRS{idVendor}==\"0471\", " +
           "ATTRS{idProduct}==\"0606\", GROUP=\"" + kGroup +
           "\", MODE=\"0660\"' | sudo tee /etc/udev/rules.d/70-quillon-group.rules && " +
           "sudo udevadm control --reload && " + kRetriggerCommand + " (then log in again)";
}

std::string InstallRuleCommand() {
    return std::string("sudo install -m 644 res/70-quillon.rules /etc/udev/rules.d/ && ") +
           "sudo udevadm control --reload && " + kRetriggerCommand;
}

KitFacts GatherKitFacts(const DiagnosisSetup& setup) {
    KitFacts facts;
    facts.sysRoot = setup.hid->SysRoot();
    facts.who = setup.who != nullptr ? *setup.who : Credentials::OfProcess();
    facts.userName = setup.userName.empty() ? UserName(facts.who.uid) : setup.userName;
    facts.usb = SurveyUsbDevices(facts.sysRoot, ORVANE_VENDOR_ID, ORVANE_PRODUCT_ID);
    facts.nodesListed = SurveyNodes(*setup.hid, &facts.nodes, &facts.nodesError, setup.who);
    for (const NodeReport& node : facts.nodes) {
        if (setup.openers && node.role != NodeRole::NotKit && node.present)
            facts.openers.emplace_back(node.path, FindNodeOpeners(node.path, setup.procRoot));
    }
    facts.rules = FindUdevRules(ORVANE_VENDOR_ID, ORVANE_PRODUCT_ID, setup.udevRoot);
    return facts;
}

std::vector<Finding> DiagnoseReceivers(const KitFacts& facts, const LoginReport* login) {
    std::vector<Finding> findings;
    findings.push_back(UsbFinding(facts));
    ReceiverFindings(facts, true, login, &findings);
    ReceiverFindings(facts, false, login, &findings);
    findings.push_back(RuleFinding(facts));
    return findings;
}

Finding DiagnoseSession(const KitFacts& facts, const LoginReport& login) {
    const SessionVerdict v = JudgeSession(facts, &login);
    Finding f{"session", Severity::Ok, v.text, v.fix};
    if (!v.known)
        f.severity = Severity::Warn;
    else if (!v.served)
        f.severity =
            AnyReceiverDenied(facts) && facts.rules.AnyUaccess() ? Severity::Fail : Severity::Warn;
    return f;
}

std::string ReceiverReason(const KitFacts& facts, bool ir, const LoginReport* login) {
    const NodeReport* node = ReceiverNode(facts, ir);
    if (node == nullptr)
        return AbsenceCause(facts, ir).text;
    if (!node->present)
        return node->path + " is missing, though sysfs lists " + node->name;
    if (!node->mayOpen) {
        const Cause cause = CauseOfDenial(facts, *node, login);
        return node->path + ": " + AccessText(facts, *node) +
               (cause.text.empty() ? "" : ": " + cause.text);
    }
    if (!node->holders.empty())
        return node->path + " is held by " + HoldersText(node->holders);
    return {};
}

std::string ReceiverTroubleReason(HidSystem& hid, bool ir) {
    DiagnosisSetup setup;
    setup.hid = &hid;
    setup.openers = false;  // not what stops a receiver, and it reads every process
    return ReceiverReason(GatherKitFacts(setup), ir);
}
