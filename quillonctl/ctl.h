#pragma once

// What the subcommands of quillonctl share: output options, exit statuses, the HID
// tree, and the way errors and JSON are written.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

class HidSystem;
struct NodeReport;
enum class VerifyOutcome;

// The exit statuses are a contract with scripts: they never change meaning.
enum CtlExit : int {
    kExitOk = 0,
    kExitUsage = 1,  // usage or internal error
    kExitAbsent = 2,
    kExitDenied = 3,
    kExitHeld = 4,
    kExitNotPassed = 5,
    kExitBound = 6,
    kExitServiceFailed = 7,
};

struct CtlOptions {
    bool json = false;                    // one JSON object (watch: JSON Lines)
    bool trace = false;                   // the programs' trace lines on stderr
    std::optional<std::string> endpoint;  // --endpoint, over the configuration file
};

// The real HID tree (or the one QUILLON_SYSFS_ROOT / QUILLON_DEV_ROOT name).
HidSystem& CtlHid();

// "quillonctl: <message>" on stderr; returns kExitUsage.
int Fail(const std::string& message);

// One JSON document (or JSON Lines record) on stdout, flushed.
void PrintJson(const nlohmann::json& value);

// Seconds on the monotonic clock, for event timestamps.
double MonotonicSeconds();

// The stable JSON name of a verification's outcome ("passed", "bound", ...).
const char* VerifyOutcomeKey(VerifyOutcome outcome);

// A node as `list` shows it, as data and as words.
nlohmann::json NodeJson(const NodeReport& node);
std::string NodeAccessText(const NodeReport& node);

int RunList(const CtlOptions& options, bool all);
int RunCheck(const CtlOptions& options, double timeoutSeconds);
int RunWatch(const CtlOptions& options, bool verify);
int RunVerify(const CtlOptions& options, const std::optional<std::string>& serial,
              const std::optional<std::string>& password, bool wait, double timeoutSeconds);
int RunCalibrate(const CtlOptions& options, double waitSeconds, double timeoutSeconds);
