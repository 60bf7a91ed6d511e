#include "platform/system/udev_rules.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "platform/process/display_escape.h"
#include "platform/process/small_file.h"

namespace {

// Real rule files are a few KiB; udev itself reads larger ones, so this only stops
// something that is not a rule file at all.
constexpr std::size_t kMaxRuleFile = 1u << 20;

struct Assignment {
    std::string key;  // "ATTRS{idVendor}", "TAG"
    std::string op;   // "==", "!=", "=", "+=", "-=", ":="
    std::string value;
};

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// KEY{attr}<op>"value" items, separated by commas outside quotes. Items that are not
// of that form are left out: this reads rules, it does not validate them.
std::vector<Assignment> SplitRule(std::string_view rule) {
    std::vector<Assignment> items;
    std::size_t pos = 0;
    while (pos < rule.size()) {
        // The key, up to the operator.
        while (pos < rule.size() && (rule[pos] == ' ' || rule[pos] == '\t' || rule[pos] == ','))
            ++pos;
        const std::size_t keyStart = pos;
        while (pos < rule.size() && std::strchr("=!+-:", rule[pos]) == nullptr)
            ++pos;
        const std::string_view key = Trim(rule.substr(keyStart, pos - keyStart));
        const std::size_t opStart = pos;
        while (pos < rule.size() && std::strchr("=!+-:", rule[pos]) != nullptr)
            ++pos;
        const std::string_view op = rule.substr(opStart, pos - opStart);
        while (pos < rule.size() && (rule[pos] == ' ' || rule[pos] == '\t'))
            ++pos;
        if (pos >= rule.size() || rule[pos] != '"') {
            // Not an item; skip to the next comma.
            while (pos < rule.size() && rule[pos] != ',')
                ++pos;
            continue;
        }
        const std::size_t valueStart = ++pos;
        while (pos < rule.size() && rule[pos] != '"') {
            if (rule[pos] == '\\' && pos + 1 < rule.size())
                ++pos;
            ++pos;
        }
        items.push_back({std::string(key), std::string(op),
                         std::string(rule.substr(valueStart, pos - valueStart))});
        ++pos;  // the closing quote
    }
    return items;
}

bool IsKey(const Assignment& a, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        if (a.key == key)
            return true;
    }
    return false;
}

// An empty file or a link to /dev/null switches a rule file's name off.
bool Masks(const std::string& path) {
    char target[64];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n > 0) {
        target[n] = '\0';
        if (std::strcmp(target, "/dev/null") == 0)
            return true;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0;
}

}  // namespace

std::vector<std::string> UdevRuleDirectories(const std::string& root) {
    return {root + "/etc/udev/rules.d", root + "/run/udev/rules.d", root + "/usr/lib/udev/rules.d",
            root + "/lib/udev/rules.d"};
}

std::vector<UdevRuleMatch> ScanUdevRuleText(std::string_view text, std::uint16_t vendor,
                                            std::uint16_t product) {
    char vendorHex[8], productHex[8], hidId[16], hidIdLong[24];
    std::snprintf(vendorHex, sizeof vendorHex, "%04x", vendor);
    std::snprintf(productHex, sizeof productHex, "%04x", product);
    std::snprintf(hidId, sizeof hidId, "%04x:%04x", vendor, product);
    std::snprintf(hidIdLong, sizeof hidIdLong, "%08x:%08x", vendor, product);

    std::vector<UdevRuleMatch> matches;
    std::size_t lineNumber = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        // One rule: physical lines joined where they end in a backslash.
        std::string rule;
        const std::size_t firstLine = lineNumber + 1;
        for (;;) {
            std::size_t end = text.find('\n', pos);
            if (end == std::string_view::npos)
                end = text.size();
            std::string_view line = text.substr(pos, end - pos);
            pos = end + 1;
            ++lineNumber;
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            if (!line.empty() && line.back() == '\\' && pos < text.size()) {
                rule.append(line.substr(0, line.size() - 1));
                continue;
            }
            rule.append(line);
            break;
        }
        const std::string_view trimmed = Trim(rule);
        if (trimmed.empty() || trimmed.front() == '#')
            continue;

        bool vendorMatch = false, productMatch = false, idMatch = false;
        UdevRuleMatch match;
        for (const Assignment& a : SplitRule(trimmed)) {
            const std::string value = Lower(a.value);
            if (a.op == "==") {
                if (IsKey(a, {"ATTRS{idVendor}", "ATTR{idVendor}", "ENV{ID_VENDOR_ID}"}))
                    vendorMatch = vendorMatch || value == vendorHex;
                else if (IsKey(a, {"ATTRS{idProduct}", "ATTR{idProduct}", "ENV{ID_MODEL_ID}"}))
                    productMatch = productMatch || value == productHex;
                else if (IsKey(a, {"KERNELS", "KERNEL", "ENV{HID_ID}", "ENV{MODALIAS}"}))
                    idMatch = idMatch || value.find(hidId) != std::string::npos ||
                              value.find(hidIdLong) != std::string::npos;
            } else if (a.op == "+=" || a.op == "=" || a.op == ":=") {
                if (a.key == "TAG" && a.value == "uaccess")
                    match.uaccess = true;
                else if (a.key == "MODE")
                    match.mode = a.value;
                else if (a.key == "GROUP")
                    match.group = a.value;
            }
        }
        if ((vendorMatch && productMatch) || idMatch) {
            match.line = firstLine;
            match.text = std::string(trimmed);
            matches.push_back(std::move(match));
        }
    }
    return matches;
}

bool UdevRuleReport::AnyUaccess() const {
    for (const UdevRuleFile& file : files) {
        for (const UdevRuleMatch& rule : file.rules) {
            if (rule.uaccess)
                return true;
        }
    }
    return false;
}

const UdevRuleFile* UdevRuleReport::LateUaccessFile() const {
    for (const UdevRuleFile& file : files) {
        if (file.name < kSeatLateRules)
            continue;
        for (const UdevRuleMatch& rule : file.rules) {
            if (rule.uaccess)
                return &file;
        }
    }
    return nullptr;
}

UdevRuleReport FindUdevRules(std::uint16_t vendor, std::uint16_t product, const std::string& root) {
    UdevRuleReport report;
    // By name, the first directory's file winning; the map keeps udev's order.
    std::map<std::string, std::string> effective;
    for (const std::string& dir : UdevRuleDirectories(root)) {
        DIR* d = ::opendir(dir.c_str());
        if (d == nullptr) {
            if (errno != ENOENT)
                report.problems.push_back(EscapeForDisplay(dir) + ": " + std::strerror(errno));
            continue;
        }
        while (const dirent* entry = ::readdir(d)) {
            const std::string name = entry->d_name;
            if (name.size() <= 6 || name.compare(name.size() - 6, 6, ".rules") != 0)
                continue;
            effective.emplace(name, dir + "/" + name);
        }
        ::closedir(d);
    }
    for (const auto& [name, path] : effective) {
        if (Masks(path))
            continue;
        if (name == kSeatLateRules)
            report.seatLateFound = true;
        std::string text;
        FileProblem problem;
        if (!ReadSmallFile(path, kMaxRuleFile, &text, &problem)) {
            report.problems.push_back(std::move(problem.message));
            continue;
        }
        std::vector<UdevRuleMatch> rules = ScanUdevRuleText(text, vendor, product);
        if (!rules.empty())
            report.files.push_back({path, name, std::move(rules)});
    }
    return report;
}
