#pragma once

// Why a receiver can or cannot be used, in words and with the command that fixes it:
// the USB device and its interfaces, each receiver's hidraw interface and node, this
// user's access to the node (mode, owner, ACL) and its cause (the udev rule, its
// place before 73-seat-late.rules, the session logind calls active), and who holds
// the node. quillonctl doctor prints every finding; the window shows the one-line
// reason beside a status line that says a receiver was not found.
//
// Gathering reads sysfs, /dev, the udev rule directories and /proc only (no bus, no
// device opened), so it is quick enough for a receiver thread; logind's answer is
// passed in by those who asked for it.

#include <string>
#include <vector>

#include "diagnosis/finding.h"
#include "diagnosis/kit_survey.h"
#include "platform/hid/node_access.h"
#include "platform/system/login_session.h"
#include "platform/system/udev_rules.h"

class HidSystem;

// Where the facts come from; tests point each at a tree of their own.
struct DiagnosisSetup {
    HidSystem* hid = nullptr;
    // The user asked about; null: this process (access(2) has the last word).
    const Credentials* who = nullptr;
    std::string userName;  // for fix commands; "" : from the uid
    std::string udevRoot;  // "" : the system's rule directories
    std::string procRoot = "/proc";
    // Look for processes that have a node open without a lock (every /proc/<pid>/fd).
    bool openers = true;
};

struct KitFacts {
    std::string sysRoot;
    Credentials who;
    std::string userName;
    UsbSurvey usb;
    bool nodesListed = false;
    std::string nodesError;
    std::vector<NodeReport> nodes;  // every hidraw node
    // Processes with a kit node open without a lock, by node path.
    std::vector<std::pair<std::string, std::vector<NodeHolder>>> openers;
    UdevRuleReport rules;
};

KitFacts GatherKitFacts(const DiagnosisSetup& setup);

// The USB device, each receiver (interface, node, access, holder) and the udev rule,
// in that order. `login` null: logind was not asked (the session check is left out).
std::vector<Finding> DiagnoseReceivers(const KitFacts& facts, const LoginReport* login);

// This user's session as uaccess sees it.
Finding DiagnoseSession(const KitFacts& facts, const LoginReport& login);

// One line on why the receiver cannot be used ("" when nothing seen stops it), for
// instance "/dev/hidraw3: mode 0600, owner root, group root, no ACL entry for you: the
// uaccess rule did not apply".
std::string ReceiverReason(const KitFacts& facts, bool ir, const LoginReport* login = nullptr);

// Gathers and answers for one receiver; for the window, whose status line tells only
// that a receiver was not found.
std::string ReceiverTroubleReason(HidSystem& hid, bool ir);

// The commands that install the project's rule and apply it to the plugged receivers.
std::string InstallRuleCommand();
// The way round uaccess for a session it does not serve (SSH, no logind): a group
// that owns the nodes, its rule, and `user` in the group.
std::string GroupRuleCommand(const std::string& user);
// Applies the rules again to the hidraw nodes present.
inline constexpr const char* kRetriggerCommand =
    "sudo udevadm trigger --subsystem-match=hidraw --action=change";
