#pragma once

// Where run records are kept. A run is begun (its started row, so that a run killed
// at any moment shows as ABORTED later) and finished (the whole record, in one
// transaction). Reads stream, newest first.
//
// Errors: every call that can fail returns false and leaves LastError() in words.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "station/run_record.h"

struct RunFilter {
    std::optional<UtcMicros> since{};     // started at or after
    std::optional<UtcMicros> until{};     // started before
    std::optional<std::string> serial{};  // label or token serial
    std::optional<std::string> station{};
    std::optional<RunOutcome> outcome{};
};

struct ResultsSummary {
    std::int64_t runs = 0;
    std::int64_t units = 0;           // distinct unit serials
    std::int64_t firstPassUnits = 0;  // units whose first run passed
    double firstPassYield = 0;        // firstPassUnits / units, 0 without units
    std::int64_t retests = 0;         // runs with retest > 0
    std::map<std::string, std::int64_t> byOutcome;
    std::map<std::string, std::int64_t> failuresByStep;
    std::map<std::string, std::int64_t> failuresByKey;  // missing, double or stuck
};

class ResultsStore {
public:
    virtual ~ResultsStore() = default;

    // The started row: id, station, operator, label serial, started, version.
    virtual bool Begin(const RunRecord& record) = 0;
    // The whole record, replacing the started row; sets record.retest.
    virtual bool Finish(RunRecord& record) = 0;
    // Records matching `filter`, newest first; `each` returns false to stop.
    virtual bool Query(const RunFilter& filter,
                       const std::function<bool(const RunRecord&)>& each) = 0;
    virtual std::optional<ResultsSummary> Summarize(const RunFilter& filter) = 0;
    virtual std::string LastError() const = 0;
};

// Records finished while the shared database could not be reached, kept in the local
// store until it answers. Delivery is by run id, so a record sent again (a crash
// between sending and Delivered) is taken once.
class ResultsOutbox {
public:
    virtual ~ResultsOutbox() = default;

    // `record` (already finished in this store) waits for delivery; `why` is kept.
    virtual bool Spool(const std::string& runId, const std::string& why) = 0;
    // The waiting records, oldest first; `each` returns false to stop.
    virtual bool Pending(const std::function<bool(const RunRecord&)>& each) = 0;
    virtual std::optional<std::int64_t> PendingCount() = 0;
    virtual bool Delivered(const std::string& runId) = 0;
    virtual std::string LastError() const = 0;
};
