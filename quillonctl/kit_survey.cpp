#include "quillonctl/kit_survey.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/hid_device.h"
#include "platform/small_file.h"
#include "receiver/hid_manager.h"

namespace {

NodeRole RoleOf(const NodeReport& node) {
    if (node.vendor != ORVANE_VENDOR_ID || node.product != ORVANE_PRODUCT_ID)
        return NodeRole::NotKit;
    if (node.usagePage == IR_USAGE_PAGE && node.usage == IR_USAGE)
        return NodeRole::IrReceiver;
    if (node.usagePage == GAME_USAGE_PAGE && node.usage == GAME_USAGE)
        return NodeRole::GameReceiver;
    return NodeRole::OtherInterface;
}

}  // namespace

std::string_view RoleKey(NodeRole role) {
    switch (role) {
        case NodeRole::IrReceiver:
            return "ir-receiver";
        case NodeRole::GameReceiver:
            return "game-receiver";
        case NodeRole::OtherInterface:
            return "other-interface";
        case NodeRole::NotKit:
            break;
    }
    return "not-kit";
}

std::string_view RoleText(NodeRole role) {
    switch (role) {
        case NodeRole::IrReceiver:
            return "IR receiver";
        case NodeRole::GameReceiver:
            return "game-controller receiver";
        case NodeRole::OtherInterface:
            return "other interface of the kit";
        case NodeRole::NotKit:
            break;
    }
    return "not of the kit";
}

std::string UeventValue(std::string_view uevent, std::string_view key) {
    std::size_t pos = 0;
    while (pos < uevent.size()) {
        std::size_t end = uevent.find('\n', pos);
        if (end == std::string_view::npos)
            end = uevent.size();
        const std::string_view line = uevent.substr(pos, end - pos);
        if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == '=')
            return std::string(line.substr(key.size() + 1));
        pos = end + 1;
    }
    return {};
}

bool SurveyNodes(HidSystem& hid, std::vector<NodeReport>* nodes, std::string* error) {
    std::vector<std::string> names;
    if (!hid.ListInterfaces(&names)) {
        *error = "cannot list " + hid.SysRoot() + "/class/hidraw: " + std::strerror(errno);
        return false;
    }
    nodes->clear();
    for (const std::string& name : names) {
        NodeReport node;
        node.name = name;
        node.path = hid.DevicePath(name);
        HidDeviceInfo info;
        // A query: sysfs only, no access to the node needed.
        if (hid.OpenHidDevice(node.path.c_str(), false, false, false, false, true, &info) ==
            HID_OPEN_OK) {
            node.identified = true;
            node.vendor = info.attributes.vendorId;
            node.product = info.attributes.productId;
            node.usagePage = info.caps.usagePage;
            node.usage = info.caps.usage;
        }
        const std::string uevent =
            ReadSmallFile(hid.SysRoot() + "/class/hidraw/" + name + "/device/uevent");
        node.hidName = UeventValue(uevent, "HID_NAME");
        node.usbPath = UeventValue(uevent, "HID_PHYS");
        node.role = node.identified ? RoleOf(node) : NodeRole::NotKit;
        node.present = ::access(node.path.c_str(), F_OK) == 0;
        node.mayOpen = ::access(node.path.c_str(), R_OK | W_OK) == 0;
        node.accessError = node.mayOpen ? 0 : errno;
        node.holders = FindNodeHolders(node.path);
        nodes->push_back(std::move(node));
    }
    return true;
}
