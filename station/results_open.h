#pragma once

// The results store a run or a query uses, from --db or the configuration's `results`:
// nothing, the local SQLite file; a path (or "sqlite:PATH"), that file; a PostgreSQL
// URL ("postgresql://..."), the line's shared database, with the local file beside it
// for the records that wait for it.

#include <functional>
#include <memory>
#include <string>

#include "station/results_store.h"

class SqliteResultsStore;
class SpoolingResultsStore;

struct OpenedResults {
    OpenedResults();
    ~OpenedResults();
    OpenedResults(OpenedResults&&) noexcept;
    OpenedResults& operator=(OpenedResults&&) noexcept;

    std::unique_ptr<ResultsStore> store;  // nothing when it could not be opened
    std::string where;                    // for messages: the file, or host and database
    // Sends what waits for the shared database; empty for a local store.
    std::function<bool(int* delivered, int* left, std::string* error)> flush;
    // Whether the last Finish left the record waiting, and why.
    std::function<bool(std::string* why)> spooled;

    std::unique_ptr<SqliteResultsStore> local;  // the file under a shared database
};

// `given` (--db) over `configured`. A URL with a password in it is refused: the
// password belongs in libpq's password file, where no process list shows it.
OpenedResults OpenResults(const std::string& given, const std::string& configured,
                          std::string* error);
