#pragma once

// One end-of-line run of one kit, as it is kept: who tested which unit where and when,
// each step's outcome and measurements, the verdict. The same record is written to
// the local store and to a line's shared database, and exported from either.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class RunOutcome { Started, Pass, Fail, Error, Aborted };
enum class StepOutcome { Pass, Fail, Error, Aborted, Skipped };

// "STARTED", "PASS", "FAIL", "ERROR", "ABORTED": stable, stored and exported as such.
std::string_view RunOutcomeKey(RunOutcome outcome);
std::optional<RunOutcome> RunOutcomeFromKey(std::string_view key);
// "pass", "fail", "error", "aborted", "skipped".
std::string_view StepOutcomeKey(StepOutcome outcome);
std::optional<StepOutcome> StepOutcomeFromKey(std::string_view key);

// Times are UTC, microseconds since the Unix epoch.
using UtcMicros = std::int64_t;
UtcMicros UtcNow();
// "2026-12-09T17:40:01.123456Z".
std::string UtcText(UtcMicros t);
// The text back; also a bare date ("2026-12-09", midnight UTC). Nothing for anything else.
std::optional<UtcMicros> UtcFromText(std::string_view text);

struct ReceiverRecord {
    std::string role;     // "ir", "game"
    std::string state;    // as check says it: "working", "absent", ...
    std::string node;     // /dev/hidrawN
    std::string usbPath;  // the USB device's sysfs name, "1-2:1.0"
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;

    bool operator==(const ReceiverRecord&) const = default;
};

struct StepRecord {
    std::string name;  // "receivers", "keys", "token", "calibration"
    StepOutcome outcome = StepOutcome::Skipped;
    std::string why;  // in words; empty for a pass
    int code = 0;     // the exit status the step's failure stands for, 0 for a pass
    UtcMicros started = 0;
    UtcMicros ended = 0;

    bool operator==(const StepRecord&) const = default;
};

struct KeyRecord {
    std::uint16_t id = 0;  // KeyId
    std::string name;      // as printed on the remote (receiver/key_names)
    int presses = 0;
    // From the start of the keys step to the first press; none when never pressed.
    std::optional<std::int64_t> firstPressMs;
    std::vector<std::int64_t> durationsMs;  // one per press, in order
    bool missing = false;
    bool doubled = false;  // a press began within the double limit of the last one's end
    bool stuck = false;    // a press lasted longer than the stuck limit

    bool operator==(const KeyRecord&) const = default;
};

struct ServiceCallRecord {
    std::string kind;     // "verify", "calibrate"
    std::string outcome;  // VerifyOutcomeKey-style: "passed", "bound", "unreachable", ...
    std::optional<std::int32_t> result;  // the service's raw ReviseEkeyResult
    UtcMicros at = 0;

    bool operator==(const ServiceCallRecord&) const = default;
};

struct RunRecord {
    std::string id;  // UUID, lower case, 8-4-4-4-12
    std::string station;
    std::string operatorId;
    std::string labelSerial;  // empty when none was given
    std::string tokenSerial;  // empty when no frame was decoded
    UtcMicros started = 0;
    UtcMicros ended = 0;  // 0 while it runs
    std::string version;
    RunOutcome outcome = RunOutcome::Started;
    std::string failedStep;  // the first step that did not pass
    std::string why;         // its reason in words
    int exitStatus = 0;      // quillonctl test's exit status for this run
    int retest = 0;          // earlier runs of this unit at this station
    std::vector<ReceiverRecord> receivers;
    std::vector<StepRecord> steps;
    std::vector<KeyRecord> keys;
    std::optional<int> decodeResult;  // TokenResult of the token step's frame
    std::vector<ServiceCallRecord> serviceCalls;
    std::string calibration;  // "", "passed", "failed: ..."
    // Only with --keep-passwords.
    std::vector<std::string> passwords;

    bool operator==(const RunRecord&) const = default;
};

// The unit a record is about, for retests: the label serial, else the token's.
std::string UnitSerial(const RunRecord& record);

// A fresh random (version 4) UUID.
std::string NewRunId();
