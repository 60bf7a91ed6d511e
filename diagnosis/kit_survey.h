#pragma once

// What the kit's devices look like on this machine, read-only: the USB device and its
// interfaces, and every hidraw node with its ids, its role in the kit, whether a user
// may open it and why, and who holds it. Nothing is opened with access and nothing is
// locked. quillonctl's list and doctor, and the window's reason for a receiver it
// cannot use, all read it.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hid/node_access.h"
#include "platform/hid/node_holders.h"
#include "receiver/hid_manager.h"

class HidSystem;

// "ir-receiver", "game-receiver", "other-interface", "not-kit" (stable, for JSON).
std::string_view RoleKey(NodeRole role);
// "IR receiver", "game-controller receiver", ... (for people).
std::string_view RoleText(NodeRole role);

struct NodeReport {
    std::string name;         // hidrawN
    std::string path;         // <dev root>/hidrawN
    bool identified = false;  // ids and descriptor could be read from sysfs
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;
    NodeRole role = NodeRole::NotKit;
    std::string hidName;   // HID_NAME of the uevent
    std::string usbPath;   // HID_PHYS of the uevent
    bool present = false;  // the node itself exists
    bool mayOpen = false;  // read and write access for the user asked about
    int accessError = 0;   // errno of the access check when not (EACCES when decided)
    // Why: the node's mode, owner and ACL, and what decided for that user.
    bool securityRead = false;
    FileSecurity security;
    AccessDecision decision;
    std::vector<NodeHolder> holders;  // processes that hold a lock on it
};

// Every hidraw interface; false, with the reason, when the list cannot be read.
// `who` null: this process, whose access(2) has the last word (capabilities, a
// read-only mount); otherwise access is decided for `who` from mode and ACL alone.
bool SurveyNodes(HidSystem& hid, std::vector<NodeReport>* nodes, std::string* error,
                 const Credentials* who = nullptr);

// The node a receiver thread would open as the receiver of `role`, whether or not it is
// there (ChooseReceiver); null when no interface is that receiver.
const NodeReport* ReceiverNodeOf(const std::vector<NodeReport>& nodes, NodeRole role);

struct UsbInterfaceReport {
    std::string name;            // "1-1:1.0"
    std::string interfaceClass;  // "03" for HID
    std::string driver;          // "usbhid"; "" when no driver is bound
};

struct UsbDeviceReport {
    std::string name;     // "1-1"
    std::string product;  // its product string, when it has one
    std::vector<UsbInterfaceReport> interfaces;
};

struct UsbSurvey {
    bool busListed = false;  // <sys root>/bus/usb/devices could be read
    std::vector<UsbDeviceReport> devices;
};

// The USB devices with these ids under <sys root>/bus/usb/devices.
UsbSurvey SurveyUsbDevices(const std::string& sysRoot, std::uint16_t vendor, std::uint16_t product);

// "1234 (evtest), ?": who holds a node (PID and command, "?" where unknown), as text;
// a command is another program's choice and is shown escaped.
std::string HoldersText(const std::vector<NodeHolder>& holders);
