#include "diagnosis/kit_survey.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/hid/hid_descriptor.h"
#include "platform/hid/hid_device.h"
#include "platform/process/display_escape.h"
#include "platform/process/small_file.h"
#include "receiver/hid_manager.h"

namespace {

// A one-line sysfs attribute without its newline.
std::string ReadAttribute(const std::string& path) {
    std::string text = ReadSmallFile(path);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::string LinkBaseName(const std::string& path) {
    char target[4096];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return {};
    const std::string link(target, static_cast<std::size_t>(n));
    const std::size_t slash = link.rfind('/');
    return slash == std::string::npos ? link : link.substr(slash + 1);
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

bool SurveyNodes(HidSystem& hid, std::vector<NodeReport>* nodes, std::string* error,
                 const Credentials* who) {
    std::vector<std::string> names;
    if (!hid.ListInterfaces(&names)) {
        *error = "cannot list " + hid.SysRoot() + "/class/hidraw: " + std::strerror(errno);
        return false;
    }
    const Credentials self = who != nullptr ? *who : Credentials::OfProcess();
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
        node.role = node.identified
                        ? InterfaceRole(node.vendor, node.product, node.usagePage, node.usage)
                        : NodeRole::NotKit;
        node.present = ::access(node.path.c_str(), F_OK) == 0;
        std::string ignored;
        node.securityRead = node.present && ReadFileSecurity(node.path, &node.security, &ignored);
        if (node.securityRead)
            node.decision = DecideAccess(node.security, self, kPermRead | kPermWrite);
        if (who == nullptr) {
            node.mayOpen = ::access(node.path.c_str(), R_OK | W_OK) == 0;
            node.accessError = node.mayOpen ? 0 : errno;
        } else {
            node.mayOpen = node.present && node.securityRead && node.decision.granted;
            node.accessError = node.mayOpen ? 0 : (node.present ? EACCES : ENOENT);
        }
        node.holders = FindNodeHolders(node.path);
        nodes->push_back(std::move(node));
    }
    return true;
}

const NodeReport* ReceiverNodeOf(const std::vector<NodeReport>& nodes, NodeRole role) {
    std::vector<std::string> paths;
    paths.reserve(nodes.size());
    for (const NodeReport& node : nodes)
        paths.push_back(node.path);
    const std::optional<std::size_t> chosen =
        ChooseReceiver(paths, role, [&](std::size_t i) -> std::optional<NodeRole> {
            if (!nodes[i].identified)
                return std::nullopt;
            return nodes[i].role;
        });
    return chosen ? &nodes[*chosen] : nullptr;
}

UsbSurvey SurveyUsbDevices(const std::string& sysRoot, std::uint16_t vendor,
                           std::uint16_t product) {
    UsbSurvey survey;
    const std::string dir = sysRoot + "/bus/usb/devices";
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return survey;
    survey.busListed = true;
    std::vector<std::string> entries;
    while (const dirent* entry = ::readdir(d)) {
        if (entry->d_name[0] != '.')
            entries.emplace_back(entry->d_name);
    }
    ::closedir(d);
    std::sort(entries.begin(), entries.end());

    char vendorHex[8], productHex[8];
    std::snprintf(vendorHex, sizeof vendorHex, "%04x", vendor);
    std::snprintf(productHex, sizeof productHex, "%04x", product);
    for (const std::string& name : entries) {
        // Devices are "1-1", "1-1.4"; their interfaces "1-1:1.0".
        if (name.find(':') != std::string::npos)
            continue;
        const std::string base = dir + "/" + name;
        if (ReadAttribute(base + "/idVendor") != vendorHex ||
            ReadAttribute(base + "/idProduct") != productHex) {
            continue;
        }
        UsbDeviceReport device;
        device.name = name;
        device.product = ReadAttribute(base + "/product");
        for (const std::string& other : entries) {
            if (!other.starts_with(name + ":"))
                continue;
            const std::string ifdir = dir + "/" + other;
            device.interfaces.push_back({other, ReadAttribute(ifdir + "/bInterfaceClass"),
                                         LinkBaseName(ifdir + "/driver")});
        }
        survey.devices.push_back(std::move(device));
    }
    return survey;
}

std::string HoldersText(const std::vector<NodeHolder>& holders) {
    std::string text;
    for (const NodeHolder& h : holders) {
        if (!text.empty())
            text += ", ";
        text += h.pid > 0 ? std::to_string(h.pid) : std::string("?");
        if (!h.command.empty())
            text += " (" + EscapeForDisplay(h.command) + ")";
    }
    return text;
}
