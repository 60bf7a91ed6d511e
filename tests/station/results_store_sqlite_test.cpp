// The station's SQLite store on real files: what a run leaves behind however it ends,
// what the store refuses to open, its schema's upgrade, and reading back.

#include "station/results_store_sqlite.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/station/sample_run.h"

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A database made directly, for what the store must meet in the field.
void RawSql(const fs::path& path, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
    EXPECT_EQ(rc, SQLITE_OK) << (message ? message : "");
    sqlite3_free(message);
    sqlite3_close(db);
}

std::int64_t RawNumber(const fs::path& path, const char* sql) {
    sqlite3* db = nullptr;
    sqlite3_stmt* statement = nullptr;
    std::int64_t value = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
        value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return value;
}

std::unique_ptr<SqliteResultsStore> OpenOrFail(const fs::path& path) {
    std::string error;
    auto store = SqliteResultsStore::Open(path.string(), &error);
    EXPECT_NE(store, nullptr) << error;
    return store;
}

RunRecord SmallRecord(const std::string& id, UtcMicros started, const std::string& serial,
                      RunOutcome outcome, const std::string& station = "line-1") {
    RunRecord r;
    r.id = id;
    r.station = station;
    r.labelSerial = serial;
    r.started = started;
    r.ended = started + 1000;
    r.outcome = outcome;
    return r;
}

std::vector<RunRecord> All(ResultsStore& store, const RunFilter& filter = {}) {
    std::vector<RunRecord> runs;
    EXPECT_TRUE(store.Query(filter, [&](const RunRecord& r) {
        runs.push_back(r);
        return true;
    })) << store.LastError();
    return runs;
}

std::vector<std::string> Ids(const std::vector<RunRecord>& runs) {
    std::vector<std::string> ids;
    for (const auto& r : runs)
        ids.push_back(r.id);
    return ids;
}

TEST(SqliteResultsStore, KeepsTheWholeRecordAndCountsRetests) {
    TempDir dir;
    const fs::path path = dir.path / "results.sqlite";
    auto store = OpenOrFail(path);
    ASSERT_NE(store, nullptr);

    RunRecord first = SampleRun(NewRunId(), 1'000'000);
    ASSERT_TRUE(store->Begin(first)) << store->LastError();
    auto runs = All(*store);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].outcome, RunOutcome::Started);
    EXPECT_EQ(runs[0].labelSerial, "QX-0001");
    EXPECT_FALSE(store->Begin(first)) << "a run id is begun once";

    ASSERT_TRUE(store->Finish(first)) << store->LastError();
    EXPECT_EQ(first.retest, 0);
    // Finishing again replaces its rows instead of adding to them.
    ASSERT_TRUE(store->Finish(first)) << store->LastError();
    EXPECT_EQ(first.retest, 0);
    store.reset();

    store = OpenOrFail(path);
    runs = All(*store);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0], first);

    // Same unit and station: a retest, also without a Begin. Elsewhere or without a
    // serial: none.
    RunRecord second = SampleRun(NewRunId(), 2'000'000);
    second.outcome = RunOutcome::Pass;
    ASSERT_TRUE(store->Finish(second)) << store->LastError();
    EXPECT_EQ(second.retest, 1);
    RunRecord byToken = SampleRun(NewRunId(), 3'000'000);
    byToken.labelSerial.clear();
    ASSERT_TRUE(store->Finish(byToken));
    EXPECT_EQ(byToken.retest, 0) << "its unit is the token serial, not yet seen";
    RunRecord elsewhere = SampleRun(NewRunId(), 4'000'000);
    elsewhere.station = "line-3";
    ASSERT_TRUE(store->Finish(elsewhere));
    EXPECT_EQ(elsewhere.retest, 0);
    for (UtcMicros started : {5'000'000, 6'000'000}) {
        RunRecord unnamed = SmallRecord(NewRunId(), started, "", RunOutcome::Error);
        ASSERT_TRUE(store->Finish(unnamed));
        EXPECT_EQ(unnamed.retest, 0);
    }
    // A run still going is no earlier run.
    RunRecord going = SampleRun(NewRunId(), 7'000'000);
    ASSERT_TRUE(store->Begin(going));
    RunRecord third = SampleRun(NewRunId(), 8'000'000);
    ASSERT_TRUE(store->Finish(third));
    EXPECT_EQ(third.retest, 2);

    RunRecord unfinished = SampleRun(NewRunId(), 9'000'000);
    unfinished.outcome = RunOutcome::Started;
    EXPECT_FALSE(store->Finish(unfinished));
    EXPECT_NE(store->LastError().find("STARTED"), std::string::npos) << store->LastError();
}

TEST(SqliteResultsStore, RunOfADeadProcessIsAbortedAtTheNextOpen) {
    TempDir dir;
    const fs::path path = dir.path / "results.sqlite";
    auto store = OpenOrFail(path);
    ASSERT_NE(store, nullptr);
    RunRecord mine = SmallRecord("mine", 2000, "U2", RunOutcome::Started);
    ASSERT_TRUE(store->Begin(mine));
    // No connection is carried across the fork: SQLite's locks are per process.
    store.reset();

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Begins and ends as a SIGKILL would leave it: no Finish, no destructors.
        std::string error;
        auto own = SqliteResultsStore::Open(path.string(), &error);
        const bool begun =
            own && own->Begin(SmallRecord("killed", 1000, "U1", RunOutcome::Started));
        ::_exit(begun ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child could not begin";
    // The same, recorded on another host: whether its process lives is not known here.
    RawSql(path,
           "INSERT INTO runs (id, started_us, outcome, pid, host) "
           "VALUES ('remote', 500, 'STARTED', 1, 'another-host')");

    store = OpenOrFail(path);
    ASSERT_NE(store, nullptr);
    const auto runs = All(*store);
    ASSERT_EQ(Ids(runs), (std::vector<std::string>{"mine", "killed", "remote"}));
    EXPECT_EQ(runs[0].outcome, RunOutcome::Started) << "this process lives";
    EXPECT_EQ(runs[1].outcome, RunOutcome::Aborted);
    EXPECT_EQ(runs[1].why, "the run ended without its record");
    EXPECT_EQ(runs[1].ended, runs[1].started);
    EXPECT_EQ(runs[2].outcome, RunOutcome::Started);
}

TEST(SqliteResultsStore, RefusesWhatIsNotItsDatabaseAndLeavesIt) {
    TempDir dir;
    std::string error;

    const fs::path fifo = dir.path / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(SqliteResultsStore::Open(fifo.string(), &error), nullptr);
    EXPECT_NE(error.find("a FIFO"), std::string::npos) << error;
    EXPECT_EQ(SqliteResultsStore::Open(dir.path.string(), &error), nullptr);
    EXPECT_NE(error.find("a directory"), std::string::npos) << error;
    EXPECT_EQ(SqliteResultsStore::Open("/dev/null", &error), nullptr);
    EXPECT_NE(error.find("a character device"), std::string::npos) << error;

    const fs::path text = dir.path / "notes.sqlite";
    std::ofstream(text, std::ios::binary) << "station,serial\nline-1,QX-1\n";
    const fs::path other = dir.path / "other.sqlite";
    RawSql(other, "CREATE TABLE things (a); INSERT INTO things VALUES (1);");
    const fs::path newer = dir.path / "newer.sqlite";
    RawSql(newer, "CREATE TABLE runs (id TEXT); PRAGMA user_version = 99;");
    for (const auto& [file, words] :
         {std::pair{text, "is not an SQLite database"}, std::pair{other, "of something else"},
          std::pair{newer, "newer Quillon (schema 99"}}) {
        const std::string before = ReadAll(file);
        EXPECT_EQ(SqliteResultsStore::Open(file.string(), &error), nullptr) << file;
        EXPECT_NE(error.find(words), std::string::npos) << error;
        EXPECT_EQ(ReadAll(file), before) << file;
        EXPECT_FALSE(fs::exists(file.string() + "-wal")) << file;
    }
}

TEST(SqliteResultsStore, MakesItsFilePrivateWhereTheXdgStateIs) {
    TempDir dir;
    const char* savedState = std::getenv("XDG_STATE_HOME");
    const char* savedHome = std::getenv("HOME");
    const std::string restoreState = savedState ? savedState : "";
    const std::string restoreHome = savedHome ? savedHome : "";

    ::setenv("XDG_STATE_HOME", (dir.path / "state").c_str(), 1);
    const std::string path = DefaultResultsPath();
    EXPECT_EQ(path, (dir.path / "state/quillon/results.sqlite").string());
    ::setenv("XDG_STATE_HOME", "relative/state", 1);
    ::setenv("HOME", dir.path.c_str(), 1);
    EXPECT_EQ(DefaultResultsPath(), (dir.path / ".local/state/quillon/results.sqlite").string());
    ::unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(DefaultResultsPath(), (dir.path / ".local/state/quillon/results.sqlite").string());
    savedState ? ::setenv("XDG_STATE_HOME", restoreState.c_str(), 1) : ::unsetenv("XDG_STATE_HOME");
    savedHome ? ::setenv("HOME", restoreHome.c_str(), 1) : ::unsetenv("HOME");

    // Even under a permissive umask, nobody else may read what an operator did.
    const mode_t saved = ::umask(0);
    auto store = OpenOrFail(path);
    ::umask(saved);
    ASSERT_NE(store, nullptr);
    RunRecord run = SampleRun("r", 1);
    ASSERT_TRUE(store->Finish(run));
    struct stat st {};
    for (const auto& [file, mode] :
         {std::pair{dir.path / "state", 0700}, std::pair{dir.path / "state/quillon", 0700},
          std::pair{fs::path(path), 0600}, std::pair{fs::path(path + "-wal"), 0600}}) {
        ASSERT_EQ(::stat(file.c_str(), &st), 0) << file;
        EXPECT_EQ(st.st_mode & 07777, static_cast<mode_t>(mode)) << file;
    }
}

// As the first released schema made them, with a run in it.
constexpr char kSchemaV1[] = R"sql(
CREATE TABLE runs (id TEXT PRIMARY KEY NOT NULL, station TEXT NOT NULL DEFAULT '',
  operator TEXT NOT NULL DEFAULT '', label_serial TEXT NOT NULL DEFAULT '',
  token_serial TEXT NOT NULL DEFAULT '', unit_serial TEXT NOT NULL DEFAULT '',
  started_us INTEGER NOT NULL, ended_us INTEGER NOT NULL DEFAULT 0,
  version TEXT NOT NULL DEFAULT '', outcome TEXT NOT NULL, failed_step TEXT NOT NULL DEFAULT '',
  why TEXT NOT NULL DEFAULT '', exit_status INTEGER NOT NULL DEFAULT 0,
  retest INTEGER NOT NULL DEFAULT 0, decode_result INTEGER NULL,
  calibration TEXT NOT NULL DEFAULT '', passwords TEXT NOT NULL DEFAULT '[]',
  pid INTEGER NOT NULL DEFAULT 0, host TEXT NOT NULL DEFAULT '');
CREATE INDEX runs_by_start ON runs(started_us);
CREATE INDEX runs_by_unit ON runs(station, unit_serial);
CREATE INDEX runs_unfinished ON runs(host) WHERE outcome = 'STARTED';
CREATE TABLE receivers (run_id TEXT NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
  seq INTEGER NOT NULL, role TEXT NOT NULL, state TEXT NOT NULL, node TEXT NOT NULL,
  usb_path TEXT NOT NULL, vendor INTEGER NOT NULL, product INTEGER NOT NULL,
  PRIMARY KEY (run_id, seq));
CREATE TABLE steps (run_id TEXT NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
  seq INTEGER NOT NULL, name TEXT NOT NULL, outcome TEXT NOT NULL, why TEXT NOT NULL,
  code INTEGER NOT NULL, started_us INTEGER NOT NULL, ended_us INTEGER NOT NULL,
  PRIMARY KEY (run_id, seq));
CREATE TABLE keys (run_id TEXT NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
  seq INTEGER NOT NULL, key_id INTEGER NOT NULL, name TEXT NOT NULL, presses INTEGER NOT NULL,
  first_press_ms INTEGER NULL, durations_ms TEXT NOT NULL, missing INTEGER NOT NULL,
  doubled INTEGER NOT NULL, stuck INTEGER NOT NULL, PRIMARY KEY (run_id, seq));
CREATE TABLE service_calls (run_id TEXT NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
  seq INTEGER NOT NULL, kind TEXT NOT NULL, outcome TEXT NOT NULL, result INTEGER NULL,
  at_us INTEGER NOT NULL, PRIMARY KEY (run_id, seq));
PRAGMA user_version = 1;
INSERT INTO runs (id, station, label_serial, unit_serial, started_us, ended_us, outcome,
  failed_step, passwords) VALUES ('old', 'line-1', 'QX-9', 'QX-9', 10, 20, 'FAIL', 'keys', '[]');
INSERT INTO steps VALUES ('old', 0, 'keys', 'fail', 'no presses', 4, 10, 20);
INSERT INTO keys VALUES ('old', 0, 7, 'OK', 0, NULL, '[]', 1, 0, 0);
)sql";

TEST(SqliteResultsStore, UpgradesAVersion1Database) {
    TempDir dir;
    const fs::path path = dir.path / "results.sqlite";
    RawSql(path, kSchemaV1);
    auto store = OpenOrFail(path);
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(RawNumber(path, "PRAGMA user_version"), SqliteResultsStore::kSchemaVersion);

    const auto runs = All(*store);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].id, "old");
    EXPECT_EQ(runs[0].outcome, RunOutcome::Fail);
    ASSERT_EQ(runs[0].steps.size(), 1u);
    EXPECT_EQ(runs[0].steps[0].why, "no presses");
    ASSERT_EQ(runs[0].keys.size(), 1u);
    EXPECT_TRUE(runs[0].keys[0].missing);
    // Through the indexes the upgrade made over the rows already there.
    const auto summary = store->Summarize({});
    ASSERT_TRUE(summary) << store->LastError();
    EXPECT_EQ(summary->firstPassUnits, 0);
    EXPECT_EQ(summary->failuresByKey, (std::map<std::string, std::int64_t>{{"OK", 1}}));
    EXPECT_TRUE(store->Spool("old", "the shared database is new")) << store->LastError();
}

TEST(SqliteResultsStore, FiltersAndOrdersNewestFirst) {
    TempDir dir;
    auto store = OpenOrFail(dir.path / "results.sqlite");
    ASSERT_NE(store, nullptr);
    RunRecord byToken = SmallRecord("d", 400, "", RunOutcome::Fail, "line-2");
    byToken.tokenSerial = "T-1";
    for (RunRecord r : {SmallRecord("a", 100, "QX-1", RunOutcome::Fail),
                        SmallRecord("c", 300, "QX-1", RunOutcome::Pass),
                        SmallRecord("b", 300, "QX-2", RunOutcome::Pass, "line-2"), byToken,
                        SmallRecord("e", 500, "QX-1';--", RunOutcome::Error)})
        ASSERT_TRUE(store->Finish(r)) << store->LastError();

    using Ids_ = std::vector<std::string>;
    EXPECT_EQ(Ids(All(*store)), (Ids_{"e", "d", "b", "c", "a"}));
    EXPECT_EQ(Ids(All(*store, {.since = 300})), (Ids_{"e", "d", "b", "c"}));
    EXPECT_EQ(Ids(All(*store, {.since = 300, .until = 500})), (Ids_{"d", "b", "c"}));
    EXPECT_EQ(Ids(All(*store, {.serial = "QX-1"})), (Ids_{"c", "a"}));
    EXPECT_EQ(Ids(All(*store, {.serial = "T-1"})), (Ids_{"d"}));
    EXPECT_EQ(Ids(All(*store, {.serial = "QX-1';--"})), (Ids_{"e"}));
    EXPECT_EQ(Ids(All(*store, {.station = "line-2"})), (Ids_{"d", "b"}));
    EXPECT_EQ(Ids(All(*store, {.station = "line-1", .outcome = RunOutcome::Pass})), (Ids_{"c"}));
    EXPECT_TRUE(All(*store, {.station = "line-9"}).empty());

    int seen = 0;
    EXPECT_TRUE(store->Query({}, [&](const RunRecord&) { return ++seen < 2; }));
    EXPECT_EQ(seen, 2) << "false from `each` stops the reading";
}

TEST(SqliteResultsStore, SummarizesInNumbers) {
    TempDir dir;
    auto store = OpenOrFail(dir.path / "results.sqlite");
    ASSERT_NE(store, nullptr);
    auto withKeys = [](RunRecord r, std::vector<KeyRecord> keys) {
        r.keys = std::move(keys);
        return r;
    };
    const KeyRecord okMissingAndStuck{1, "OK", 0, std::nullopt, {}, true, false, true};
    const KeyRecord backDoubled{2, "Back", 2, 10, {50, 50}, false, true, false};
    const KeyRecord upFine{3, "Up", 1, 20, {60}, false, false, false};
    RunRecord aFail = withKeys(SmallRecord("a1", 100, "A", RunOutcome::Fail),
                               {okMissingAndStuck, backDoubled, upFine});
    aFail.failedStep = "keys";
    RunRecord aPass = withKeys(SmallRecord("a2", 200, "A", RunOutcome::Pass), {backDoubled});
    RunRecord bPass = SmallRecord("b1", 150, "B", RunOutcome::Pass);
    RunRecord cError =
        withKeys(SmallRecord("c1", 300, "C", RunOutcome::Error, "line-2"), {okMissingAndStuck});
    cError.failedStep = "token";
    RunRecord noSerial = SmallRecord("n1", 400, "", RunOutcome::Aborted);
    noSerial.failedStep = "receivers";
    for (RunRecord* r : {&aFail, &aPass, &bPass, &cError, &noSerial})
        ASSERT_TRUE(store->Finish(*r)) << store->LastError();

    auto all = store->Summarize({});
    ASSERT_TRUE(all) << store->LastError();
    EXPECT_EQ(all->runs, 5);
    EXPECT_EQ(all->units, 3);
    EXPECT_EQ(all->firstPassUnits, 1);
    EXPECT_DOUBLE_EQ(all->firstPassYield, 1.0 / 3.0);
    EXPECT_EQ(all->retests, 1);
    using Counts = std::map<std::string, std::int64_t>;
    EXPECT_EQ(all->byOutcome, (Counts{{"ABORTED", 1}, {"ERROR", 1}, {"FAIL", 1}, {"PASS", 2}}));
    EXPECT_EQ(all->failuresByStep, (Counts{{"keys", 1}, {"token", 1}}));
    EXPECT_EQ(all->failuresByKey, (Counts{{"Back", 2}, {"OK", 2}}));

    // A's first run in these bounds passed.
    auto later = store->Summarize({.since = 150, .station = "line-1"});
    ASSERT_TRUE(later) << store->LastError();
    EXPECT_EQ(later->runs, 3);
    EXPECT_EQ(later->units, 2);
    EXPECT_EQ(later->firstPassUnits, 2);
    EXPECT_DOUBLE_EQ(later->firstPassYield, 1.0);
    EXPECT_EQ(later->failuresByKey, (Counts{{"Back", 1}}));

    auto none = store->Summarize({.station = "line-9"});
    ASSERT_TRUE(none);
    EXPECT_EQ(none->runs, 0);
    EXPECT_EQ(none->firstPassYield, 0.0);

    // Two first runs of D in the same microsecond: the lower id is the first.
    RunRecord dPass = SmallRecord("d2", 500, "D", RunOutcome::Pass);
    RunRecord dFail = SmallRecord("d1", 500, "D", RunOutcome::Fail);
    for (RunRecord* r : {&dPass, &dFail})
        ASSERT_TRUE(store->Finish(*r)) << store->LastError();
    auto tied = store->Summarize({.since = 500});
    ASSERT_TRUE(tied) << store->LastError();
    EXPECT_EQ(tied->units, 1);
    EXPECT_EQ(tied->firstPassUnits, 0);
}

TEST(SqliteResultsStore, OutboxHandsOutOldestFirstUntilDelivered) {
    TempDir dir;
    const fs::path path = dir.path / "results.sqlite";
    auto store = OpenOrFail(path);
    ASSERT_NE(store, nullptr);
    std::vector<RunRecord> runs;
    for (const char* id : {"c", "a", "b"}) {
        runs.push_back(SampleRun(id, 1000));
        ASSERT_TRUE(store->Finish(runs.back()));
        ASSERT_TRUE(store->Spool(id, "the shared database did not answer")) << store->LastError();
    }
    ASSERT_TRUE(store->Spool("c", "still not")) << "spooled again, it keeps its place";
    EXPECT_FALSE(store->Spool("zz", "x"));
    EXPECT_NE(store->LastError().find("no such run"), std::string::npos) << store->LastError();
    RunRecord going = SampleRun("going", 2000);
    ASSERT_TRUE(store->Begin(going));
    EXPECT_FALSE(store->Spool("going", "x"));
    EXPECT_NE(store->LastError().find("not finished"), std::string::npos) << store->LastError();
    store.reset();

    store = OpenOrFail(path);
    EXPECT_EQ(store->PendingCount(), 3);
    std::vector<RunRecord> pending;
    ASSERT_TRUE(store->Pending([&](const RunRecord& r) {
        pending.push_back(r);
        return true;
    }));
    ASSERT_EQ(pending.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(pending[i], runs[i]) << pending[i].id;

    ASSERT_TRUE(store->Delivered("a"));
    ASSERT_TRUE(store->Delivered("a")) << "delivered twice is delivered";
    EXPECT_EQ(store->PendingCount(), 2);
    // As a sender does it: each one delivered as it goes.
    std::vector<std::string> sent;
    ASSERT_TRUE(store->Pending([&](const RunRecord& r) {
        sent.push_back(r.id);
        return store->Delivered(r.id);
    })) << store->LastError();
    EXPECT_EQ(sent, (std::vector<std::string>{"c", "b"}));
    EXPECT_EQ(store->PendingCount(), 0);
    EXPECT_EQ(All(*store).size(), 4u) << "delivered runs stay in the store";
}

// A disk that fills up on request: the default VFS with xWrite answering SQLITE_FULL,
// as SQLite's own does on ENOSPC. Its files keep their own I/O methods (the database's
// differ from the journal's) but for xWrite.
class FullDisk {
public:
    FullDisk() {
        s_real = sqlite3_vfs_find(nullptr);
        m_vfs = *s_real;
        m_vfs.zName = "quillon-full-disk";
        m_vfs.pNext = nullptr;
        m_vfs.xOpen = Open;
        sqlite3_vfs_register(&m_vfs, 1);
    }
    ~FullDisk() {
        sqlite3_vfs_unregister(&m_vfs);
        sqlite3_vfs_register(s_real, 1);
        s_full = false;
    }
    FullDisk(const FullDisk&) = delete;
    FullDisk& operator=(const FullDisk&) = delete;

    static void Fill(bool full) { s_full = full; }

private:
    struct Methods {  // static, so zeroed
        const sqlite3_io_methods* real;
        sqlite3_io_methods full;
    };

    static int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags,
                    int* outFlags) {
        const int rc = s_real->xOpen(s_real, name, file, flags, outFlags);
        if (rc != SQLITE_OK || file->pMethods == nullptr)
            return rc;
        for (auto& methods : s_methods) {
            if (methods.real == nullptr) {
                methods.real = file->pMethods;
                methods.full = *file->pMethods;
                methods.full.xWrite = Write;
            }
            if (methods.real == file->pMethods) {
                file->pMethods = &methods.full;
                return rc;
            }
        }
        ADD_FAILURE() << "more kinds of file than FullDisk knows";
        return rc;
    }
    static int Write(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset) {
        if (s_full)
            return SQLITE_FULL;
        for (const auto& methods : s_methods) {
            if (&methods.full == file->pMethods)
                return methods.real->xWrite(file, data, amount, offset);
        }
        return SQLITE_IOERR_WRITE;
    }

    sqlite3_vfs m_vfs{};
    static inline sqlite3_vfs* s_real = nullptr;
    static inline Methods s_methods[4];
    static inline std::atomic<bool> s_full{false};
};

TEST(SqliteResultsStore, FullDiskLosesNothingCommitted) {
    TempDir dir;
    const fs::path path = dir.path / "results.sqlite";
    FullDisk disk;
    auto store = OpenOrFail(path);
    ASSERT_NE(store, nullptr);
    RunRecord kept = SampleRun("kept", 1000);
    ASSERT_TRUE(store->Finish(kept));
    RunRecord late = SampleRun("late", 2000);
    ASSERT_TRUE(store->Begin(late));

    FullDisk::Fill(true);
    EXPECT_FALSE(store->Finish(late));
    EXPECT_NE(
        store->LastError().find("cannot keep the record of run late: database or disk is full"),
        std::string::npos)
        << store->LastError();
    EXPECT_FALSE(store->Spool("kept", "x"));
    FullDisk::Fill(false);

    auto runs = All(*store);
    ASSERT_EQ(Ids(runs), (std::vector<std::string>{"late", "kept"}));
    EXPECT_EQ(runs[0].outcome, RunOutcome::Started) << "nothing of the failed record";
    EXPECT_TRUE(runs[0].steps.empty());
    EXPECT_EQ(runs[1], kept);
    ASSERT_TRUE(store->Finish(late)) << "with room again: " << store->LastError();
    store.reset();
    store = OpenOrFail(path);
    runs = All(*store);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0], late);
    EXPECT_EQ(runs[1], kept);
}

}  // namespace
