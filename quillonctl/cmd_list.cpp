// quillonctl list: the kit's hidraw nodes (--all: every node), what each one is,
// whether this user may open it, and who holds it.

#include <cstdio>
#include <cstring>
#include <vector>

#include "diagnosis/kit_survey.h"
#include "quillonctl/ctl.h"
#include "quillonctl/texts.h"

namespace {

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xFFFFu);
    return text;
}

nlohmann::json HoldersJson(const std::vector<NodeHolder>& holders) {
    nlohmann::json list = nlohmann::json::array();
    for (const NodeHolder& h : holders)
        list.push_back({{"pid", h.pid}, {"command", h.command}, {"lock", h.kind}});
    return list;
}

}  // namespace

nlohmann::json NodeJson(const NodeReport& node) {
    return {{"name", node.name},
            {"path", node.path},
            {"role", RoleKey(node.role)},
            {"identified", node.identified},
            {"vendor", Hex4(node.vendor)},
            {"product", Hex4(node.product)},
            {"usage_page", Hex4(node.usagePage)},
            {"usage", Hex4(node.usage)},
            {"hid_name", node.hidName},
            {"usb_path", node.usbPath},
            {"present", node.present},
            {"may_open", node.mayOpen},
            {"access_error", node.mayOpen ? "" : std::strerror(node.accessError)},
            {"held", !node.holders.empty()},
            {"holders", HoldersJson(node.holders)}};
}

std::string NodeAccessText(const NodeReport& node) {
    if (!node.present)
        return Translate("quillonctl", "node missing");
    std::string text = node.mayOpen ? Translate("quillonctl", "may open")
                                    : Format(Translate("quillonctl", "may not open (%s)"),
                                             std::strerror(node.accessError));
    if (!node.holders.empty())
        text +=
            "; " + Format(Translate("quillonctl", "held by %s"), HoldersText(node.holders).c_str());
    return text;
}

int RunList(const CtlOptions& options, bool all) {
    std::vector<NodeReport> nodes;
    std::string error;
    if (!SurveyNodes(CtlHid(), &nodes, &error))
        return Fail(error);
    std::vector<NodeReport> shown;
    for (NodeReport& node : nodes) {
        if (all || node.role != NodeRole::NotKit)
            shown.push_back(std::move(node));
    }
    if (options.json) {
        nlohmann::json list = nlohmann::json::array();
        for (const NodeReport& node : shown)
            list.push_back(NodeJson(node));
        PrintJson({{"nodes", list}});
        return kExitOk;
    }
    if (shown.empty()) {
        std::printf("%s\n", all ? Translate("quillonctl", "No hidraw node is present.")
                                : Translate("quillonctl",
                                            "No receiver of the kit (USB 0471:0606) is present."));
        return kExitOk;
    }
    for (const NodeReport& node : shown) {
        const std::string ids =
            node.identified ? Hex4(node.vendor) + ":" + Hex4(node.product) : "????:????";
        std::printf("%-12s %s  %-26s %s  %s\n", node.path.c_str(), ids.c_str(),
                    std::string(RoleText(node.role)).c_str(),
                    node.usbPath.empty() ? "-" : node.usbPath.c_str(),
                    NodeAccessText(node).c_str());
    }
    return kExitOk;
}
