#pragma once

// The udev rules that concern one USB device (vendor:product): which installed rule
// files match it, whether they give access through the uaccess tag or through a mode
// or group, and whether a uaccess rule sorts before 73-seat-late.rules, the file that
// turns the tag into an ACL for the user at the seat (a tag set later is never seen).
//
// udev reads every *.rules file of its directories in the order of their names; a
// file in an earlier directory hides a file of the same name in a later one, and a
// hiding file that is empty or a link to /dev/null switches the name off.
//
// Scanning text is apart from reading directories, so tests feed rules as text and
// point the directories at a tree of their own.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kSeatLateRules = "73-seat-late.rules";

// udev's rule directories in the order they win, below `root` ("" for the system).
std::vector<std::string> UdevRuleDirectories(const std::string& root = "");

// One rule (a line, continuation lines joined) that matches the device.
struct UdevRuleMatch {
    std::size_t line = 0;  // of its first physical line
    bool uaccess = false;  // TAG+="uaccess"
    std::string mode;      // MODE="0660", "" when not set
    std::string group;     // GROUP="plugdev", "" when not set
    std::string text;      // the rule, for people
};

// The rules in one file's text that match vendor:product (ATTRS{idVendor} and
// ATTRS{idProduct}, their ATTR and ENV{ID_VENDOR_ID}/ENV{ID_MODEL_ID} forms, or the
// HID id "0471:0606" in a KERNELS or HID_ID match); comments are skipped.
std::vector<UdevRuleMatch> ScanUdevRuleText(std::string_view text, std::uint16_t vendor,
                                            std::uint16_t product);

struct UdevRuleFile {
    std::string path;  // where it is
    std::string name;  // its file name, which decides its place in the order
    std::vector<UdevRuleMatch> rules;
};

struct UdevRuleReport {
    std::vector<UdevRuleFile> files;    // the files in effect that match, in udev's order
    bool seatLateFound = false;         // 73-seat-late.rules is in effect
    std::vector<std::string> problems;  // "<path>: <why>" for each directory or file not read

    bool AnyUaccess() const;
    // A file with a uaccess rule that sorts after 73-seat-late.rules, or nullptr.
    const UdevRuleFile* LateUaccessFile() const;
};

// Reads the rule directories below `root` for rules that match vendor:product.
UdevRuleReport FindUdevRules(std::uint16_t vendor, std::uint16_t product,
                             const std::string& root = "");
