#pragma once

// What the station's tests share: a scratch directory and a run with every field set.

#include <stdlib.h>  // mkdtemp

#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>

#include "station/results_export.h"
#include "station/run_record.h"

class TempDir {
public:
    TempDir() {
        std::string templ =
            (std::filesystem::temp_directory_path() / "quillon-station-XXXXXX").string();
        if (::mkdtemp(templ.data()) == nullptr)
            std::abort();
        path = templ;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::filesystem::path path;
};

// 2026-12-09T17:40:01.123456Z
inline constexpr UtcMicros kSampleStart = 1'796'838'001'123'456;

// A failed run of QX-0001 at line-2, with a step of each outcome.
inline RunRecord SampleRun(std::string id, UtcMicros t = kSampleStart) {
    RunRecord r;
    r.id = std::move(id);
    r.station = "line-2";
    r.operatorId = "Zoë, \"night\" shift";
    r.labelSerial = "QX-0001";
    r.tokenSerial = "T1234";
    r.started = t;
    r.ended = t + 12'530'865;
    r.version = "0.1";
    r.outcome = RunOutcome::Fail;
    r.failedStep = "keys";
    r.why = "line one\r\nline two, with \"quotes\"";
    r.exitStatus = 4;
    r.receivers = {{"ir", "working", "/dev/hidraw3", "1-2:1.0", 0x1d57, 0xad02},
                   {"game", "absent", "", "", 0, 0}};
    r.steps = {{"receivers", StepOutcome::Pass, "", 0, t, t + 250'000},
               {"keys", StepOutcome::Fail, "Back never pressed", 4, t + 250'000, t + 9'000'000},
               {"token", StepOutcome::Error, "no frame", 5, t + 9'000'000, t + 10'000'000},
               {"service", StepOutcome::Aborted, "stopped", 6, t + 10'000'000, t + 11'000'000},
               {"calibration", StepOutcome::Skipped, "after a failed step", 0, 0, 0}};
    r.keys = {{7, "OK", 2, 310, {80, 95}, false, true, false},
              {8, "Back", 0, std::nullopt, {}, true, false, false},
              {9, "Up", 1, 40, {5000}, false, false, true}};
    r.decodeResult = -3;
    r.serviceCalls = {{"verify", "passed", 1, t + 9'500'000},
                      {"calibrate", "unreachable", std::nullopt, t + 10'500'000}};
    r.calibration = "failed: no answer";
    r.passwords = {"123456", "654321"};
    return r;
}

// For gtest's messages: the record as its JSON.
inline void PrintTo(const RunRecord& record, std::ostream* out) {
    *out << RecordJson(record).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
