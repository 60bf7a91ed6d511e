#pragma once

// What the station window keeps besides the run records: the operator id, remembered
// between starts in a small file of the user's, and the counts since the window opened.

#include <string>

#include "station/run_record.h"

// $XDG_STATE_HOME/quillon/station.conf, else ~/.local/state/quillon/station.conf (beside
// the results store); empty when neither says where.
std::string StationStatePath();

// The operator id last remembered in `path`; empty when there is none (or the file
// cannot be read).
std::string RememberedOperator(const std::string& path);
// Writes `operatorId` to `path` (mode 0600, its directory 0700 when made here), whole or
// not at all. False with `*error` in words when it cannot.
bool RememberOperator(const std::string& path, const std::string& operatorId, std::string* error);

// Units tested since the window opened. A unit's first run at this station (retest 0)
// counts towards the first-pass yield; later runs are retests.
struct StationTally {
    int units = 0;
    int passed = 0;
    int retests = 0;
    int firstRuns = 0;
    int firstRunsPassed = 0;

    void Add(const RunRecord& record);
    // "units 3, passed 2, first-pass yield 50%, retests 1"; the yield is "-" before any
    // first run.
    std::string Text() const;
};
