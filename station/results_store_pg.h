#pragma once

// A production line's shared database of run records, on PostgreSQL (libpq).
//
// The address is a libpq URI, "postgresql://station@db.line1:5432/quillon". Leave the
// password out of it: libpq reads it from the password file (~/.pgpass, or the file
// PGPASSFILE names, mode 0600, lines "host:port:dbname:user:password") or from a
// service file entry (PGSERVICE, ~/.pg_service.conf). A password given in the URI
// works too; either way it never appears in LastError() or any other message of this
// store, which name the server by host, port, database and user only.
//
// Every call is bounded: connecting by the URI's connect_timeout (5 s when it has
// none), each call by `callBound`, after which the statement is cancelled and the
// connection closed. Once closed (a time-out, or the server went away) every call
// fails; connect again. A host name is resolved before the bound starts (libpq does
// that synchronously): give an address, or a host the resolver answers for quickly.
//
// The schema is created on the first connect and migrated by later versions; several
// stations connecting at once take turns. The role needs CREATE on the database the
// first time (the database's owner has it).
//
// Each run's row also keeps the process id and host name of the program that wrote
// it first, so that a run left STARTED can be traced to where it ran.
//
// Not for concurrent use from several threads; one store per thread.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station/results_store.h"

struct pg_conn;
struct pg_result;

inline constexpr std::chrono::milliseconds kPgCallBound{10000};

class PgResultsStore : public ResultsStore {
public:
    // The schema version this program writes; a database of a newer one is refused.
    static constexpr int kSchemaVersion = 1;

    // Nothing, with *error in words, when the server cannot be reached in time, refuses
    // the login, or holds a schema this program does not know.
    static std::unique_ptr<PgResultsStore> Connect(
        const std::string& url, std::string* error,
        std::chrono::milliseconds callBound = kPgCallBound);
    ~PgResultsStore() override;
    PgResultsStore(const PgResultsStore&) = delete;
    PgResultsStore& operator=(const PgResultsStore&) = delete;

    // The started row; a run begun twice keeps its first.
    bool Begin(const RunRecord& record) override;
    // A record already finished here is kept as it is (delivered twice, taken once),
    // and record.retest is set from it.
    bool Finish(RunRecord& record) override;
    bool Query(const RunFilter& filter, const std::function<bool(const RunRecord&)>& each) override;
    std::optional<ResultsSummary> Summarize(const RunFilter& filter) override;
    std::string LastError() const override { return m_error; }

    // False once the connection was closed.
    bool Connected() const { return m_conn != nullptr; }
    // "db.line1:5432, database quillon, user station": for messages.
    const std::string& Where() const { return m_where; }

private:
    struct ResultFree {
        void operator()(pg_result* result) const;
    };
    using Result = std::unique_ptr<pg_result, ResultFree>;
    using Params = std::vector<std::optional<std::string>>;  // nothing: NULL
    using Deadline = std::chrono::steady_clock::time_point;

    PgResultsStore(pg_conn* conn, std::string where, std::vector<std::string> secrets,
                   std::chrono::milliseconds callBound);

    bool Migrate();
    Result Exec(const char* sql, const Params& params, Deadline deadline);
    bool Exec(const char* sql, Deadline deadline);
    bool Rollback();
    bool InsertChildren(const RunRecord& record, Deadline deadline);
    Deadline CallDeadline() const;
    void Fail(std::string what);
    void Lost(const std::string& what);
    void CancelAndDrop();
    void Drop();
    std::string Scrub(std::string text) const;

    pg_conn* m_conn = nullptr;
    std::string m_where;
    std::vector<std::string> m_secrets;  // taken out of every message
    std::chrono::milliseconds m_callBound;
    std::string m_error;
};
