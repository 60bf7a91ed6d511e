#pragma once

// What the station window keeps besides the run records: the operator id, remembered
// between starts in a small file of the user's.

#include <string>

// $XDG_STATE_HOME/quillon/station.conf, else ~/.local/state/quillon/station.conf (beside
// the results store); empty when neither says where.
std::string StationStatePath();

// The operator id last remembered in `path`; empty when there is none (or the file
// cannot be read).
std::string RememberedOperator(const std::string& path);
// Writes `operatorId` to `path` (mode 0600, its directory 0700 when made here), whole or
// not at all. False with `*error` in words when it cannot.
bool RememberOperator(const std::string& path, const std::string& operatorId, std::string* error);
