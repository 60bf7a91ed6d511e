#pragma once

// What the subcommands of quillonctl share: output options, exit statuses, the HID
// tree, and the way errors and JSON are written.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
    kExitDoctorFailed = 8,  // doctor: at least one check failed
    kExitKeysFailed = 9,    // test: a key missing, pressed twice or stuck
    kExitAborted = 10,      // test: Ctrl-C, SIGTERM or the run's time limit
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
// The same for a warning or a note.
void Tell(const std::string& message);

// One JSON document (or JSON Lines record) on stdout, flushed.
void PrintJson(const nlohmann::json& value);
// The same document as text, without the line's end.
std::string JsonText(const nlohmann::json& value);

// At start: standard descriptors that came closed are taken by /dev/null, so that no
// node or pipe the program opens later becomes its stdout.
void ReserveStandardStreams();
// Whether stdout came closed.
bool StdoutCameClosed();

// Seconds on the monotonic clock, for event timestamps.
double MonotonicSeconds();

// A verdict's text as shown with the service's own answer after it, "... (result
// 21003)", when the service answered anything but 0 (a pass needs no number).
std::string WithServiceResult(const std::string& text, std::optional<std::int32_t> result);
// `service_result` of the JSON output: the ReviseEkeyResult, or null without a reply.
nlohmann::json ServiceResultJson(std::optional<std::int32_t> result);

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
// `udevRoot`: where the udev rule directories are looked for ("" the system's).
int RunDoctor(const CtlOptions& options, const std::string& udevRoot);
// `nodes` empty: both receivers.
int RunRecording(const CtlOptions& options, const std::string& output,
                 const std::vector<std::string>& nodes);

struct TestSettings {
    std::string operatorId;
    std::optional<std::string> station;  // the host name by default
    std::optional<std::string> serial;   // none: asked at a terminal
    std::optional<std::string> keys;     // none: the configuration's, else all
    double keyTimeout = 120;
    double timeout = 300;
    double doubleLimitMs = 60;  // a new press this soon after the last: pressed twice
    double stuckLimit = 5;      // seconds held: stuck
    std::string db;             // "" the local store
    std::optional<std::string> junit;
    bool keepPasswords = false;
    bool calibrateOnFail = false;
    double calibrationWait = 30;
    double calibrationTimeout = 120;
    std::string version;
};
int RunTest(const CtlOptions& options, const TestSettings& settings);

struct ResultsSettings {
    std::string db;
    std::optional<std::string> since;
    std::optional<std::string> until;
    std::optional<std::string> serial;
    std::optional<std::string> station;
    std::optional<std::string> outcome;
    std::string format = "table";
    bool summary = false;
    bool flush = false;
};
int RunResults(const CtlOptions& options, const ResultsSettings& settings);

struct ReplaySettings {
    double speed = 1.0;
    bool virtualKit = false;  // served nodes in a temporary tree instead of /dev/uhid
    bool hold = false;        // keep the devices after the last report, until Ctrl-C
    bool noWait = false;      // start at once, not when every device has a reader
};
int RunReplay(const CtlOptions& options, const std::string& file, const ReplaySettings& settings);
