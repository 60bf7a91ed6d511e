#pragma once

// The station's own store of run records: one SQLite file, private to its user, that
// several quillonctl processes may share. Each write is durable when it returns (WAL,
// synchronous=FULL); a run whose process died before finishing it is marked ABORTED by
// the next store opened on the same host. One object serves one thread at a time;
// the callbacks of Query() and Pending() may use it (a sender calls Delivered()).

#include <memory>
#include <string>

#include "station/results_store.h"

struct sqlite3;

// $XDG_STATE_HOME/quillon/results.sqlite, else ~/.local/state/quillon/results.sqlite.
// Empty when neither XDG_STATE_HOME nor HOME says where (or they are not absolute).
std::string DefaultResultsPath();

class SqliteResultsStore : public ResultsStore, public ResultsOutbox {
public:
    // The schema this code writes (PRAGMA user_version).
    static constexpr int kSchemaVersion = 3;

    // Opens `path`, creating it (mode 0600) and its missing directories (0700), and
    // brings its schema up to date. Refuses, without changing it, anything that is not
    // a regular file, a file that is not a database, and a database of a newer schema.
    // Nothing and `*error` in words when it cannot.
    static std::unique_ptr<SqliteResultsStore> Open(const std::string& path, std::string* error);
    ~SqliteResultsStore() override;
    SqliteResultsStore(const SqliteResultsStore&) = delete;
    SqliteResultsStore& operator=(const SqliteResultsStore&) = delete;

    bool Begin(const RunRecord& record) override;
    bool Finish(RunRecord& record) override;
    bool Query(const RunFilter& filter, const std::function<bool(const RunRecord&)>& each) override;
    std::optional<ResultsSummary> Summarize(const RunFilter& filter) override;

    bool Spool(const std::string& runId, const std::string& why) override;
    bool Pending(const std::function<bool(const RunRecord&)>& each) override;
    std::optional<std::int64_t> PendingCount() override;
    bool Delivered(const std::string& runId) override;

    std::string LastError() const override { return m_error; }
    const std::string& Path() const { return m_path; }

private:
    SqliteResultsStore(sqlite3* db, std::string path);
    bool Migrate();
    bool MarkAbandoned();
    bool ReadRuns(const char* sql, const RunFilter* filter,
                  const std::function<bool(const RunRecord&)>& each);
    bool Exec(const char* sql, const char* what);
    bool Fail(const std::string& what);

    sqlite3* m_db = nullptr;
    std::string m_path;
    std::string m_host;
    std::string m_error;
};
