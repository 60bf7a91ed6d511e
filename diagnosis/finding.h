#pragma once

// One verdict of the diagnosis: what was checked, how it stands, the finding in plain
// words and the command that fixes it. The front ends only print these.

#include <string>
#include <string_view>

enum class Severity { Ok, Warn, Fail };

// "ok", "warn", "fail" (stable, for JSON).
constexpr std::string_view SeverityKey(Severity severity) {
    switch (severity) {
        case Severity::Ok:
            return "ok";
        case Severity::Warn:
            return "warn";
        case Severity::Fail:
            break;
    }
    return "fail";
}

struct Finding {
    std::string check;  // stable id: "usb", "ir.node", "udev-rule", ...
    Severity severity = Severity::Ok;
    std::string text;  // the finding in plain words
    std::string fix;   // the exact command that fixes it; "" when there is none
    // A failed check without a fix says why there is none ("no command plugs a
    // device in"); "" otherwise.
    std::string noFix = {};
};
