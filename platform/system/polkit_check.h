#pragma once

// Asks polkit (org.freedesktop.PolicyKit1, over the system bus) whether this process
// may do an action, as the service manager will ask it when the process requests a
// unit's stop or start. Without interaction: an action that needs a password is
// reported as such, since Quillon never asks for one.

#include <chrono>
#include <string>
#include <utility>
#include <vector>

// systemd's action for starting and stopping units.
inline constexpr const char* kManageUnitsAction = "org.freedesktop.systemd1.manage-units";

struct PolkitAnswer {
    bool reached = false;     // polkit answered
    bool authorized = false;  // yes, as things stand
    bool challenge = false;   // yes, but only after authentication
    std::string error;        // why polkit could not be asked
};

inline constexpr std::chrono::milliseconds kPolkitTimeout{3000};

// `details` are the action's details (systemd gives "unit" and "verb").
PolkitAnswer CheckPolkitAuthorization(
    const std::string& action, const std::vector<std::pair<std::string, std::string>>& details,
    std::chrono::milliseconds timeout = kPolkitTimeout);
