#pragma once

// What the hidraw nodes of this machine are, as far as quillonctl reports them: each
// node's ids and role in the kit, whether this user may open it, and who holds it.
// Read-only: nothing is opened with access and nothing is locked.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/node_holders.h"

class HidSystem;

enum class NodeRole { IrReceiver, GameReceiver, OtherInterface, NotKit };

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
    bool mayOpen = false;  // read and write access for this user
    int accessError = 0;   // errno of the access check when not
    std::vector<NodeHolder> holders;
};

// Every hidraw interface; false, with the reason, when the list cannot be read.
bool SurveyNodes(HidSystem& hid, std::vector<NodeReport>* nodes, std::string* error);

// The value of `key` in a uevent text ("KEY=value" lines), "" when absent.
std::string UeventValue(std::string_view uevent, std::string_view key);
