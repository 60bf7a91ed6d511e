#include "station/results_store_sqlite.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string_view>
#include <vector>

#include "platform/process/small_file.h"

namespace {

// Each migration takes the schema one version up, in a transaction of its own. A
// version, once released, is never edited: databases of it exist.
constexpr const char* kMigrations[] = {
    // 1: the runs and what was measured in them.
    R"sql(
CREATE TABLE runs (
    id TEXT PRIMARY KEY NOT NULL,
    station TEXT NOT NULL DEFAULT '',
    operator TEXT NOT NULL DEFAULT '',
    label_serial TEXT NOT NULL DEFAULT '',
    token_serial TEXT NOT NULL DEFAULT '',
    unit_serial TEXT NOT NULL DEFAULT '',
    started_us INTEGER NOT NULL,
    ended_us INTEGER NOT NULL DEFAULT 0,
    version TEXT NOT NULL DEFAULT '',
    outcome TEXT NOT NULL,
    failed_step TEXT NOT NULL DEFAULT '',
    why TEXT NOT NULL DEFAULT '',
    exit_status INTEGER NOT NULL DEFAULT 0,
    retest INTEGER NOT NULL DEFAULT 0,
    decode_result INTEGER NULL,
    calibration TEXT NOT NULL DEFAULT '',
    passwords TEXT NOT NULL DEFAULT '[]',
    pid INTEGER NOT NULL DEFAULT 0,
    host TEXT NOT NULL DEFAULT ''
);
CREATE INDEX runs_by_start ON runs(started_us);
CREATE INDEX runs_by_unit ON runs(station, unit_serial);
CREATE INDEX runs_unfinished ON runs(host) WHERE outcome = 'STARTED';
CREATE TABLE receivers (
    run_id TEXT NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
    seq INTEGER NOT NULL,
    role TEXT NOT NULL,
    state TEXT NOT NULL,
    node TEXT NOT NULL,
    usb_path TEXT NOT NULL,
    vendor INTEGER NOT NULL,
    product INTEGER NOT NULL,
    PRIMARY KEY (run_id, seq)
);
CREATE TABLE steps (
    run_id TEXT NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
    seq INTEGER NOT NULL,
    name TEXT NOT NULL,
    outcome TEXT NOT NULL,
    why TEXT NOT NULL,
    code INTEGER NOT NULL,
    started_us INTEGER NOT NULL,
    ended_us INTEGER NOT NULL,
    PRIMARY KEY (run_id, seq)
);
CREATE TABLE keys (
    run_id TEXT NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
    seq INTEGER NOT NULL,
    key_id INTEGER NOT NULL,
    name TEXT NOT NULL,
    presses INTEGER NOT NULL,
    first_press_ms INTEGER NULL,
    durations_ms TEXT NOT NULL,
    missing INTEGER NOT NULL,
    doubled INTEGER NOT NULL,
    stuck INTEGER NOT NULL,
    PRIMARY KEY (run_id, seq)
);
CREATE TABLE service_calls (
    run_id TEXT NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
    seq INTEGER NOT NULL,
    kind TEXT NOT NULL,
    outcome TEXT NOT NULL,
    result INTEGER NULL,
    at_us INTEGER NOT NULL,
    PRIMARY KEY (run_id, seq)
);
PRAGMA user_version = 1;
)sql",
    // 2: records waiting for the shared database.
    R"sql(
CREATE TABLE outbox (
    run_id TEXT PRIMARY KEY NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
    queued_us INTEGER NOT NULL,
    why TEXT NOT NULL
);
CREATE INDEX outbox_by_age ON outbox(queued_us);
PRAGMA user_version = 2;
)sql",
    // 3: what the summary reads, so that it neither sorts the runs nor reads every key.
    R"sql(
CREATE INDEX runs_by_serial ON runs(unit_serial, started_us, id);
CREATE INDEX keys_flagged ON keys(run_id, name) WHERE missing OR doubled OR stuck;
PRAGMA user_version = 3;
)sql",
};
static_assert(std::size(kMigrations) == SqliteResultsStore::kSchemaVersion);

constexpr char kAbandonedWhy[] = "the run ended without its record";

// The columns of a run, in the order RunFromRow() reads them.
#define QUILLON_RUN_COLUMNS                                                             \
    "r.id, r.station, r.operator, r.label_serial, r.token_serial, r.started_us, "       \
    "r.ended_us, r.version, r.outcome, r.failed_step, r.why, r.exit_status, r.retest, " \
    "r.decode_result, r.calibration, r.passwords"

// ?1 since, ?2 until, ?3 serial, ?4 station, ?5 outcome: each NULL when not asked for.
#define QUILLON_RUN_FILTER                                                          \
    "(?1 IS NULL OR r.started_us >= ?1) AND (?2 IS NULL OR r.started_us < ?2) AND " \
    "(?3 IS NULL OR r.label_serial = ?3 OR r.token_serial = ?3) AND "               \
    "(?4 IS NULL OR r.station = ?4) AND (?5 IS NULL OR r.outcome = ?5)"

// Not materialized: each use reads the runs through the index that suits it.
#define QUILLON_FILTERED_RUNS                                                \
    "WITH f AS NOT MATERIALIZED (SELECT r.id, r.unit_serial, r.started_us, " \
    "r.outcome, r.failed_step, r.retest FROM runs r WHERE " QUILLON_RUN_FILTER ") "

class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        m_rc = sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr);
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Ok() const { return m_rc == SQLITE_OK; }

    void Bind(int i, std::string_view text) {
        sqlite3_bind_text64(m_stmt, i, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    }
    void Bind(int i, std::int64_t value) { sqlite3_bind_int64(m_stmt, i, value); }
    void Bind(int i, int value) { sqlite3_bind_int64(m_stmt, i, value); }
    void Bind(int i, bool value) { sqlite3_bind_int(m_stmt, i, value ? 1 : 0); }
    void Bind(int i, const char* text) = delete;  // would be taken as a bool
    template <typename T>
    void Bind(int i, const std::optional<T>& value) {
        if (value)
            Bind(i, *value);
        else
            sqlite3_bind_null(m_stmt, i);
    }

    // SQLITE_ROW, SQLITE_DONE or the error.
    int Step() { return sqlite3_step(m_stmt); }
    // Ready for the next run of it, with its parameters cleared.
    void Reset() {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }

    std::string Text(int i) const {
        const auto* text = sqlite3_column_text(m_stmt, i);
        const int size = sqlite3_column_bytes(m_stmt, i);
        return text ? std::string(reinterpret_cast<const char*>(text),
                                  static_cast<std::size_t>(size))
                    : std::string();
    }
    std::int64_t Int(int i) const { return sqlite3_column_int64(m_stmt, i); }
    bool Null(int i) const { return sqlite3_column_type(m_stmt, i) == SQLITE_NULL; }

private:
    sqlite3_stmt* m_stmt = nullptr;
    int m_rc = SQLITE_ERROR;
};

void BindFilter(Statement& statement, const RunFilter& filter) {
    statement.Bind(1, filter.since);
    statement.Bind(2, filter.until);
    statement.Bind(3, filter.serial);
    statement.Bind(4, filter.station);
    if (filter.outcome)
        statement.Bind(5, RunOutcomeKey(*filter.outcome));
}

std::string JsonText(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool ParseStrings(const std::string& text, std::vector<std::string>* out) {
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_array())
        return false;
    for (const auto& item : json) {
        if (!item.is_string())
            return false;
        out->push_back(item.get<std::string>());
    }
    return true;
}

bool ParseIntegers(const std::string& text, std::vector<std::int64_t>* out) {
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_array())
        return false;
    for (const auto& item : json) {
        if (!item.is_number_integer())
            return false;
        out->push_back(item.get<std::int64_t>());
    }
    return true;
}

template <typename T>
T Narrow(std::int64_t value) {
    return static_cast<T>(value);
}

// The run's own row at the statement's current row, columns as QUILLON_RUN_COLUMNS.
bool RunFromRow(const Statement& row, RunRecord* record, std::string* error) {
    record->id = row.Text(0);
    record->station = row.Text(1);
    record->operatorId = row.Text(2);
    record->labelSerial = row.Text(3);
    record->tokenSerial = row.Text(4);
    record->started = row.Int(5);
    record->ended = row.Int(6);
    record->version = row.Text(7);
    const auto outcome = RunOutcomeFromKey(row.Text(8));
    if (!outcome) {
        *error = "run " + record->id + " has an unknown outcome \"" + row.Text(8) + "\"";
        return false;
    }
    record->outcome = *outcome;
    record->failedStep = row.Text(9);
    record->why = row.Text(10);
    record->exitStatus = Narrow<int>(row.Int(11));
    record->retest = Narrow<int>(row.Int(12));
    if (!row.Null(13))
        record->decodeResult = Narrow<int>(row.Int(13));
    record->calibration = row.Text(14);
    if (!ParseStrings(row.Text(15), &record->passwords)) {
        *error = "run " + record->id + ": its passwords are not a JSON array of strings";
        return false;
    }
    return true;
}

// The prepared statements that read a run's rows of the other tables, made once for
// a whole read.
struct ChildReaders {
    explicit ChildReaders(sqlite3* db)
        : receivers(db,
                    "SELECT role, state, node, usb_path, vendor, product FROM receivers "
                    "WHERE run_id = ?1 ORDER BY seq"),
          steps(db,
                "SELECT name, outcome, why, code, started_us, ended_us FROM steps "
                "WHERE run_id = ?1 ORDER BY seq"),
          keys(db,
               "SELECT key_id, name, presses, first_press_ms, durations_ms, missing, doubled, "
               "stuck FROM keys WHERE run_id = ?1 ORDER BY seq"),
          calls(db,
                "SELECT kind, outcome, result, at_us FROM service_calls WHERE run_id = ?1 "
                "ORDER BY seq") {}

    bool Ok() const { return receivers.Ok() && steps.Ok() && keys.Ok() && calls.Ok(); }

    // Fills the record's lists; false with `error` (empty for SQLite's own) when not.
    bool Read(RunRecord* record, std::string* error) {
        int rc;
        receivers.Reset();
        receivers.Bind(1, record->id);
        while ((rc = receivers.Step()) == SQLITE_ROW) {
            ReceiverRecord& r = record->receivers.emplace_back();
            r.role = receivers.Text(0);
            r.state = receivers.Text(1);
            r.node = receivers.Text(2);
            r.usbPath = receivers.Text(3);
            r.vendor = Narrow<std::uint16_t>(receivers.Int(4));
            r.product = Narrow<std::uint16_t>(receivers.Int(5));
        }
        if (rc != SQLITE_DONE)
            return false;

        steps.Reset();
        steps.Bind(1, record->id);
        while ((rc = steps.Step()) == SQLITE_ROW) {
            StepRecord& s = record->steps.emplace_back();
            s.name = steps.Text(0);
            const auto outcome = StepOutcomeFromKey(steps.Text(1));
            if (!outcome) {
                *error = "run " + record->id + ": step " + s.name + " has an unknown outcome \"" +
                         steps.Text(1) + "\"";
                return false;
            }
            s.outcome = *outcome;
            s.why = steps.Text(2);
            s.code = Narrow<int>(steps.Int(3));
            s.started = steps.Int(4);
            s.ended = steps.Int(5);
        }
        if (rc != SQLITE_DONE)
            return false;

        keys.Reset();
        keys.Bind(1, record->id);
        while ((rc = keys.Step()) == SQLITE_ROW) {
            KeyRecord& k = record->keys.emplace_back();
            k.id = Narrow<std::uint16_t>(keys.Int(0));
            k.name = keys.Text(1);
            k.presses = Narrow<int>(keys.Int(2));
            if (!keys.Null(3))
                k.firstPressMs = keys.Int(3);
            if (!ParseIntegers(keys.Text(4), &k.durationsMs)) {
                *error = "run " + record->id + ": the durations of key " + k.name +
                         " are not a JSON array of integers";
                return false;
            }
            k.missing = keys.Int(5) != 0;
            k.doubled = keys.Int(6) != 0;
            k.stuck = keys.Int(7) != 0;
        }
        if (rc != SQLITE_DONE)
            return false;

        calls.Reset();
        calls.Bind(1, record->id);
        while ((rc = calls.Step()) == SQLITE_ROW) {
            ServiceCallRecord& c = record->serviceCalls.emplace_back();
            c.kind = calls.Text(0);
            c.outcome = calls.Text(1);
            if (!calls.Null(2))
                c.result = Narrow<std::int32_t>(calls.Int(2));
            c.at = calls.Int(3);
        }
        return rc == SQLITE_DONE;
    }

    Statement receivers;
    Statement steps;
    Statement keys;
    Statement calls;
};

// A transaction that is rolled back unless committed, also when SQLite ended it
// itself (as it may on a full disk).
class Transaction {
public:
    explicit Transaction(sqlite3* db) : m_db(db) {}
    ~Transaction() {
        if (m_open && !sqlite3_get_autocommit(m_db))
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool Begin(const char* sql) {
        m_open = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
        return m_open;
    }
    bool Commit() {
        if (sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
            return false;
        m_open = false;
        return true;
    }

private:
    sqlite3* m_db;
    bool m_open = false;
};

// Makes the missing directories above `path`, each 0700.
bool MakeDirectoriesFor(const std::string& path, std::string* error) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    std::filesystem::path made;
    for (const auto& part : parent) {
        made /= part;
        if (::mkdir(made.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = "cannot make the directory " + made.string() + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

// Creates `path` 0600 when it is missing, and checks, before SQLite sees it, that it is
// a regular file that is empty or begins as an SQLite database does.
bool CheckFile(const std::string& path, std::string* error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        *error =
            path + " is " + FileKindText(st.st_mode) + ", not a file the results can be kept in";
        return false;
    }
    // O_NONBLOCK: should a FIFO be put in its place meanwhile, the open does not hang.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
    if (fd < 0) {
        *error = "cannot open " + path + " for reading and writing: " + std::strerror(errno);
        return false;
    }
    bool ok = true;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error =
            path + " is " + FileKindText(st.st_mode) + ", not a file the results can be kept in";
        ok = false;
    } else if (st.st_size > 0) {
        static constexpr char kMagic[] = "SQLite format 3";  // with its NUL: 16 bytes
        char head[sizeof kMagic] = {};
        const ssize_t n = ::pread(fd, head, sizeof head, 0);
        if (n != static_cast<ssize_t>(sizeof head) || std::memcmp(head, kMagic, sizeof head) != 0) {
            *error = path + " is not an SQLite database; it is left as it is";
            ok = false;
        }
    }
    ::close(fd);
    return ok;
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

// Whether no process `pid` lives here (kill() cannot tell "not ours" from "alive" apart
// from EPERM, which means alive).
bool ProcessGone(std::int64_t pid) {
    if (pid <= 0 || pid > INT32_MAX)
        return true;
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace

std::string DefaultResultsPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/')
        return std::string(state) + "/quillon/results.sqlite";
    std::string home;
    if (const char* env = std::getenv("HOME"); env && env[0] == '/') {
        home = env;
    } else {
        passwd entry{};
        passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
            found->pw_dir && found->pw_dir[0] == '/')
            home = found->pw_dir;
    }
    if (home.empty())
        return {};
    return home + "/.local/state/quillon/results.sqlite";
}

SqliteResultsStore::SqliteResultsStore(sqlite3* db, std::string path)
    : m_db(db), m_path(std::move(path)), m_host(HostName()) {}

SqliteResultsStore::~SqliteResultsStore() {
    sqlite3_close_v2(m_db);
}

std::unique_ptr<SqliteResultsStore> SqliteResultsStore::Open(const std::string& path,
                                                             std::string* error) {
    std::string words;
    auto failed = [&](std::string what) {
        if (error)
            *error = std::move(what);
        return nullptr;
    };
    if (path.empty())
        return failed("no path for the results store");
    if (!MakeDirectoriesFor(path, &words) || !CheckFile(path, &words))
        return failed(words);

    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    std::unique_ptr<SqliteResultsStore> store(new SqliteResultsStore(db, path));
    if (rc != SQLITE_OK) {
        store->Fail("cannot open " + path);
        return failed(store->m_error);
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, 5000);

    // Read only, until the file is known to be ours and of a schema this code knows.
    int version = 0;
    {
        Statement statement(db, "PRAGMA user_version");
        if (!statement.Ok() || statement.Step() != SQLITE_ROW) {
            store->Fail(path + " cannot be read as a results store");
            return failed(store->m_error);
        }
        version = static_cast<int>(statement.Int(0));
    }
    if (version > kSchemaVersion) {
        return failed(path + " holds results of a newer Quillon (schema " +
                      std::to_string(version) + ", this one knows up to " +
                      std::to_string(kSchemaVersion) + "); it is left as it is");
    }
    if (version == 0) {
        Statement statement(db, "SELECT count(*) FROM sqlite_schema");
        if (!statement.Ok() || statement.Step() != SQLITE_ROW) {
            store->Fail(path + " cannot be read as a results store");
            return failed(store->m_error);
        }
        if (statement.Int(0) != 0)
            return failed(path +
                          " is an SQLite database of something else, not Quillon's "
                          "results; it is left as it is");
    }

    {
        Statement statement(db, "PRAGMA journal_mode = WAL");
        if (!statement.Ok() || statement.Step() != SQLITE_ROW) {
            store->Fail("cannot keep " + path + " in WAL mode");
            return failed(store->m_error);
        }
        if (statement.Text(0) != "wal")
            return failed("cannot keep " + path + " in WAL mode (it stays \"" + statement.Text(0) +
                          "\")");
    }
    if (!store->Exec("PRAGMA synchronous = FULL", "cannot set synchronous writes") ||
        !store->Exec("PRAGMA foreign_keys = ON", "cannot turn foreign keys on") ||
        !store->Migrate() || !store->MarkAbandoned())
        return failed(store->m_error);
    return store;
}

bool SqliteResultsStore::Exec(const char* sql, const char* what) {
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        return Fail(what);
    return true;
}

bool SqliteResultsStore::Fail(const std::string& what) {
    m_error = what + ": " + sqlite3_errmsg(m_db);
    return false;
}

bool SqliteResultsStore::Migrate() {
    for (int target = 1; target <= kSchemaVersion; ++target) {
        Transaction transaction(m_db);
        if (!transaction.Begin("BEGIN IMMEDIATE"))
            return Fail("cannot lock " + m_path + " to bring its schema up to date");
        // Read again under the lock: another process may have done it meanwhile.
        std::int64_t version = 0;
        {
            Statement statement(m_db, "PRAGMA user_version");
            if (!statement.Ok() || statement.Step() != SQLITE_ROW)
                return Fail("cannot read the schema version of " + m_path);
            version = statement.Int(0);
        }
        if (version > kSchemaVersion) {
            m_error = m_path + " was taken to a newer schema (" + std::to_string(version) +
                      ") by another Quillon meanwhile";
            return false;
        }
        if (version < target &&
            sqlite3_exec(m_db, kMigrations[target - 1], nullptr, nullptr, nullptr) != SQLITE_OK)
            return Fail("cannot bring " + m_path + " to schema " + std::to_string(target));
        if (!transaction.Commit())
            return Fail("cannot bring " + m_path + " to schema " + std::to_string(target));
    }
    return true;
}

bool SqliteResultsStore::MarkAbandoned() {
    std::vector<std::string> abandoned;
    {
        Statement select(m_db, "SELECT id, pid FROM runs WHERE outcome = 'STARTED' AND host = ?1");
        if (!select.Ok())
            return Fail("cannot look for unfinished runs");
        select.Bind(1, m_host);
        int rc;
        while ((rc = select.Step()) == SQLITE_ROW) {
            if (ProcessGone(select.Int(1)))
                abandoned.push_back(select.Text(0));
        }
        if (rc != SQLITE_DONE)
            return Fail("cannot look for unfinished runs");
    }
    if (abandoned.empty())
        return true;

    Transaction transaction(m_db);
    if (!transaction.Begin("BEGIN IMMEDIATE"))
        return Fail("cannot mark the runs of ended processes as aborted");
    Statement update(m_db,
                     "UPDATE runs SET outcome = 'ABORTED', why = ?2, ended_us = started_us "
                     "WHERE id = ?1 AND outcome = 'STARTED'");
    if (!update.Ok())
        return Fail("cannot mark the runs of ended processes as aborted");
    for (const auto& id : abandoned) {
        update.Reset();
        update.Bind(1, id);
        update.Bind(2, std::string_view(kAbandonedWhy));
        if (update.Step() != SQLITE_DONE)
            return Fail("cannot mark run " + id + " as aborted");
    }
    if (!transaction.Commit())
        return Fail("cannot mark the runs of ended processes as aborted");
    return true;
}

bool SqliteResultsStore::Begin(const RunRecord& record) {
    if (record.id.empty()) {
        m_error = "a run needs an id before it is begun";
        return false;
    }
    Statement insert(m_db,
                     "INSERT INTO runs (id, station, operator, label_serial, token_serial, "
                     "unit_serial, started_us, version, outcome, pid, host) "
                     "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, 'STARTED', ?9, ?10)");
    if (!insert.Ok())
        return Fail("cannot begin run " + record.id);
    insert.Bind(1, record.id);
    insert.Bind(2, record.station);
    insert.Bind(3, record.operatorId);
    insert.Bind(4, record.labelSerial);
    insert.Bind(5, record.tokenSerial);
    insert.Bind(6, UnitSerial(record));
    insert.Bind(7, record.started);
    insert.Bind(8, record.version);
    insert.Bind(9, static_cast<std::int64_t>(::getpid()));
    insert.Bind(10, m_host);
    if (insert.Step() != SQLITE_DONE)
        return Fail("cannot begin run " + record.id);
    return true;
}

bool SqliteResultsStore::Finish(RunRecord& record) {
    if (record.id.empty()) {
        m_error = "a run needs an id to be finished";
        return false;
    }
    if (record.outcome == RunOutcome::Started) {
        m_error = "run " + record.id + " cannot be finished as STARTED: it needs its outcome";
        return false;
    }
    const std::string what = "cannot keep the record of run " + record.id;
    const std::string unit = UnitSerial(record);

    Transaction transaction(m_db);
    if (!transaction.Begin("BEGIN IMMEDIATE"))
        return Fail(what);

    int retest = 0;
    if (!unit.empty()) {
        Statement count(m_db,
                        "SELECT count(*) FROM runs WHERE station = ?1 AND unit_serial = ?2 "
                        "AND outcome <> 'STARTED' AND id <> ?3");
        if (!count.Ok())
            return Fail(what);
        count.Bind(1, record.station);
        count.Bind(2, unit);
        count.Bind(3, record.id);
        if (count.Step() != SQLITE_ROW)
            return Fail(what);
        retest = static_cast<int>(count.Int(0));
    }

    Statement run(m_db,
                  "INSERT INTO runs (id, station, operator, label_serial, token_serial, "
                  "unit_serial, started_us, ended_us, version, outcome, failed_step, why, "
                  "exit_status, retest, decode_result, calibration, passwords, pid, host) "
                  "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, "
                  "?16, ?17, ?18, ?19) "
                  "ON CONFLICT (id) DO UPDATE SET station = excluded.station, "
                  "operator = excluded.operator, label_serial = excluded.label_serial, "
                  "token_serial = excluded.token_serial, unit_serial = excluded.unit_serial, "
                  "started_us = excluded.started_us, ended_us = excluded.ended_us, "
                  "version = excluded.version, outcome = excluded.outcome, "
                  "failed_step = excluded.failed_step, why = excluded.why, "
                  "exit_status = excluded.exit_status, retest = excluded.retest, "
                  "decode_result = excluded.decode_result, calibration = excluded.calibration, "
                  "passwords = excluded.passwords, pid = excluded.pid, host = excluded.host");
    if (!run.Ok())
        return Fail(what);
    run.Bind(1, record.id);
    run.Bind(2, record.station);
    run.Bind(3, record.operatorId);
    run.Bind(4, record.labelSerial);
    run.Bind(5, record.tokenSerial);
    run.Bind(6, unit);
    run.Bind(7, record.started);
    run.Bind(8, record.ended);
    run.Bind(9, record.version);
    run.Bind(10, RunOutcomeKey(record.outcome));
    run.Bind(11, record.failedStep);
    run.Bind(12, record.why);
    run.Bind(13, record.exitStatus);
    run.Bind(14, retest);
    run.Bind(15, record.decodeResult);
    run.Bind(16, record.calibration);
    run.Bind(17, JsonText(record.passwords));
    run.Bind(18, static_cast<std::int64_t>(::getpid()));
    run.Bind(19, m_host);
    if (run.Step() != SQLITE_DONE)
        return Fail(what);

    for (const char* sql :
         {"DELETE FROM receivers WHERE run_id = ?1", "DELETE FROM steps WHERE run_id = ?1",
          "DELETE FROM keys WHERE run_id = ?1", "DELETE FROM service_calls WHERE run_id = ?1"}) {
        Statement remove(m_db, sql);
        if (!remove.Ok())
            return Fail(what);
        remove.Bind(1, record.id);
        if (remove.Step() != SQLITE_DONE)
            return Fail(what);
    }

    Statement receiver(m_db,
                       "INSERT INTO receivers (run_id, seq, role, state, node, usb_path, vendor, "
                       "product) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    Statement step(m_db,
                   "INSERT INTO steps (run_id, seq, name, outcome, why, code, started_us, "
                   "ended_us) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    Statement key(m_db,
                  "INSERT INTO keys (run_id, seq, key_id, name, presses, first_press_ms, "
                  "durations_ms, missing, doubled, stuck) "
                  "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
    Statement call(m_db,
                   "INSERT INTO service_calls (run_id, seq, kind, outcome, result, at_us) "
                   "VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    if (!receiver.Ok() || !step.Ok() || !key.Ok() || !call.Ok())
        return Fail(what);

    int seq = 0;
    for (const auto& r : record.receivers) {
        receiver.Reset();
        receiver.Bind(1, record.id);
        receiver.Bind(2, seq++);
        receiver.Bind(3, r.role);
        receiver.Bind(4, r.state);
        receiver.Bind(5, r.node);
        receiver.Bind(6, r.usbPath);
        receiver.Bind(7, static_cast<int>(r.vendor));
        receiver.Bind(8, static_cast<int>(r.product));
        if (receiver.Step() != SQLITE_DONE)
            return Fail(what);
    }
    seq = 0;
    for (const auto& s : record.steps) {
        step.Reset();
        step.Bind(1, record.id);
        step.Bind(2, seq++);
        step.Bind(3, s.name);
        step.Bind(4, StepOutcomeKey(s.outcome));
        step.Bind(5, s.why);
        step.Bind(6, s.code);
        step.Bind(7, s.started);
        step.Bind(8, s.ended);
        if (step.Step() != SQLITE_DONE)
            return Fail(what);
    }
    seq = 0;
    for (const auto& k : record.keys) {
        key.Reset();
        key.Bind(1, record.id);
        key.Bind(2, seq++);
        key.Bind(3, static_cast<int>(k.id));
        key.Bind(4, k.name);
        key.Bind(5, k.presses);
        key.Bind(6, k.firstPressMs);
        key.Bind(7, JsonText(k.durationsMs));
        key.Bind(8, k.missing);
        key.Bind(9, k.doubled);
        key.Bind(10, k.stuck);
        if (key.Step() != SQLITE_DONE)
            return Fail(what);
    }
    seq = 0;
    for (const auto& c : record.serviceCalls) {
        call.Reset();
        call.Bind(1, record.id);
        call.Bind(2, seq++);
        call.Bind(3, c.kind);
        call.Bind(4, c.outcome);
        call.Bind(5, c.result);
        call.Bind(6, c.at);
        if (call.Step() != SQLITE_DONE)
            return Fail(what);
    }

    if (!transaction.Commit())
        return Fail(what);
    record.retest = retest;
    return true;
}

bool SqliteResultsStore::ReadRuns(const char* sql, const RunFilter* filter,
                                  const std::function<bool(const RunRecord&)>& each) {
    // Statements of their own, so that `each` may use the store as well.
    Statement runs(m_db, sql);
    ChildReaders children(m_db);
    if (!runs.Ok() || !children.Ok())
        return Fail("cannot read the runs");
    if (filter)
        BindFilter(runs, *filter);
    int rc;
    while ((rc = runs.Step()) == SQLITE_ROW) {
        RunRecord record;
        std::string problem;
        if (!RunFromRow(runs, &record, &problem) || !children.Read(&record, &problem)) {
            if (problem.empty())
                return Fail("cannot read run " + record.id);
            m_error = problem;
            return false;
        }
        if (!each(record))
            return true;
    }
    if (rc != SQLITE_DONE)
        return Fail("cannot read the runs");
    return true;
}

bool SqliteResultsStore::Query(const RunFilter& filter,
                               const std::function<bool(const RunRecord&)>& each) {
    return ReadRuns("SELECT " QUILLON_RUN_COLUMNS " FROM runs r WHERE " QUILLON_RUN_FILTER
                    " ORDER BY r.started_us DESC, r.id",
                    &filter, each);
}

std::optional<ResultsSummary> SqliteResultsStore::Summarize(const RunFilter& filter) {
    auto failed = [this] {
        Fail("cannot summarize the runs");
        return std::nullopt;
    };
    // One read transaction, so that every number counts the same runs.
    Transaction transaction(m_db);
    if (!transaction.Begin("BEGIN"))
        return failed();
    ResultsSummary summary;

    // A unit's first run is the one none of its runs in the same bounds began before
    // (ties by id); one per unit, so these also count the units.
    Statement firsts(m_db, QUILLON_FILTERED_RUNS
                     "SELECT count(*), coalesce(sum(a.outcome = 'PASS'), 0) FROM f a "
                     "WHERE a.unit_serial <> '' AND NOT EXISTS (SELECT 1 FROM f e WHERE "
                     "e.unit_serial = a.unit_serial AND (e.started_us, e.id) < "
                     "(a.started_us, a.id))");
    Statement byOutcome(m_db, QUILLON_FILTERED_RUNS
                        "SELECT outcome, count(*), coalesce(sum(retest > 0), 0) FROM f "
                        "GROUP BY outcome");
    Statement byStep(m_db, QUILLON_FILTERED_RUNS
                     "SELECT failed_step, count(*) FROM f WHERE outcome IN ('FAIL', 'ERROR') "
                     "AND failed_step <> '' GROUP BY failed_step");
    Statement byKey(m_db, QUILLON_FILTERED_RUNS
                    "SELECT k.name, count(DISTINCT k.run_id) FROM keys k JOIN f ON f.id = "
                    "k.run_id WHERE k.missing OR k.doubled OR k.stuck GROUP BY k.name");
    if (!firsts.Ok() || !byOutcome.Ok() || !byStep.Ok() || !byKey.Ok())
        return failed();

    BindFilter(firsts, filter);
    if (firsts.Step() != SQLITE_ROW)
        return failed();
    summary.units = firsts.Int(0);
    summary.firstPassUnits = firsts.Int(1);
    firsts.Reset();
    summary.firstPassYield = summary.units > 0 ? static_cast<double>(summary.firstPassUnits) /
                                                     static_cast<double>(summary.units)
                                               : 0;

    BindFilter(byOutcome, filter);
    int rc;
    while ((rc = byOutcome.Step()) == SQLITE_ROW) {
        summary.byOutcome[byOutcome.Text(0)] = byOutcome.Int(1);
        summary.runs += byOutcome.Int(1);
        summary.retests += byOutcome.Int(2);
    }
    if (rc != SQLITE_DONE)
        return failed();

    for (auto [statement, counts] :
         {std::pair{&byStep, &summary.failuresByStep}, std::pair{&byKey, &summary.failuresByKey}}) {
        BindFilter(*statement, filter);
        while ((rc = statement->Step()) == SQLITE_ROW)
            (*counts)[statement->Text(0)] = statement->Int(1);
        if (rc != SQLITE_DONE)
            return failed();
    }
    if (!transaction.Commit())
        return failed();
    return summary;
}

bool SqliteResultsStore::Spool(const std::string& runId, const std::string& why) {
    const std::string what = "cannot keep run " + runId + " for the shared database";
    Statement insert(m_db,
                     "INSERT INTO outbox (run_id, queued_us, why) "
                     "SELECT id, ?2, ?3 FROM runs WHERE id = ?1 AND outcome <> 'STARTED' "
                     "ON CONFLICT (run_id) DO UPDATE SET why = excluded.why");
    if (!insert.Ok())
        return Fail(what);
    insert.Bind(1, runId);
    insert.Bind(2, UtcNow());
    insert.Bind(3, why);
    if (insert.Step() != SQLITE_DONE)
        return Fail(what);
    if (sqlite3_changes(m_db) > 0)
        return true;

    Statement find(m_db, "SELECT outcome FROM runs WHERE id = ?1");
    if (!find.Ok())
        return Fail(what);
    find.Bind(1, runId);
    const int rc = find.Step();
    if (rc == SQLITE_ROW)
        m_error = what + ": it is not finished";
    else if (rc == SQLITE_DONE)
        m_error = what + ": no such run in " + m_path;
    else
        return Fail(what);
    return false;
}

bool SqliteResultsStore::Pending(const std::function<bool(const RunRecord&)>& each) {
    return ReadRuns("SELECT " QUILLON_RUN_COLUMNS
                    " FROM outbox o JOIN runs r ON r.id = o.run_id ORDER BY o.queued_us, o.rowid",
                    nullptr, each);
}

std::optional<std::int64_t> SqliteResultsStore::PendingCount() {
    Statement count(m_db, "SELECT count(*) FROM outbox");
    if (!count.Ok() || count.Step() != SQLITE_ROW) {
        Fail("cannot count the records waiting for the shared database");
        return std::nullopt;
    }
    return count.Int(0);
}

bool SqliteResultsStore::Delivered(const std::string& runId) {
    Statement remove(m_db, "DELETE FROM outbox WHERE run_id = ?1");
    if (!remove.Ok())
        return Fail("cannot mark run " + runId + " as delivered");
    remove.Bind(1, runId);
    if (remove.Step() != SQLITE_DONE)
        return Fail("cannot mark run " + runId + " as delivered");
    return true;
}
