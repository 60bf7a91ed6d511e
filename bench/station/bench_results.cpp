// The station's results store next to what one would compare it with, in one run:
// a run's record written through the store (Begin, then Finish) against the same rows
// put in with the bare SQLite C API in one transaction; the summary of 100,000 runs
// against one hand-written query for the same numbers on the same file; and the heap an
// export holds at its peak, 100,000 runs against 1,000. The table at the end gives the
// ratios and what they should be. Numbers only; nothing passes or fails here.
//
// The stores read live in a scratch directory under $TMPDIR, made once per process.

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sqlite3.h>
#include <stdlib.h>  // mkdtemp, posix_memalign
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <new>
#include <ostream>
#include <random>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "receiver/key_names.h"
#include "station/results_export.h"
#include "station/results_store_sqlite.h"

// ---- Live heap bytes -------------------------------------------------------------
// Everything an export keeps is on the C++ heap (records, JSON, strings) or on
// SQLite's (pages, statements, sorter); both are counted here, SQLite's through
// SQLITE_CONFIG_MALLOC, so the peak is of the two together.

namespace {

std::atomic<std::int64_t> g_live{0};
std::atomic<std::int64_t> g_peak{0};

void Counted(void* p) {
    const auto n = static_cast<std::int64_t>(malloc_usable_size(p));
    const std::int64_t live = g_live.fetch_add(n, std::memory_order_relaxed) + n;
    std::int64_t peak = g_peak.load(std::memory_order_relaxed);
    while (live > peak && !g_peak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
    }
}

void Uncounted(void* p) {
    if (p)
        g_live.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)),
                         std::memory_order_relaxed);
}

void* Allocate(std::size_t size, std::size_t alignment, bool nothrow) {
    void* p = nullptr;
    if (size == 0)
        size = 1;
    if (alignment <= alignof(std::max_align_t))
        p = std::malloc(size);
    else if (::posix_memalign(&p, alignment, size) != 0)
        p = nullptr;
    if (!p) {
        if (nothrow)
            return nullptr;
        throw std::bad_alloc();
    }
    Counted(p);
    return p;
}

void Release(void* p) {
    Uncounted(p);
    std::free(p);
}

// The most held since the call, above what was held at it.
class PeakGrowth {
public:
    PeakGrowth() : m_start(g_live.load(std::memory_order_relaxed)) {
        g_peak.store(m_start, std::memory_order_relaxed);
    }
    std::int64_t Bytes() const { return g_peak.load(std::memory_order_relaxed) - m_start; }

private:
    std::int64_t m_start;
};

void* SqliteMalloc(int n) {
    return Allocate(static_cast<std::size_t>(n), 0, true);
}
void SqliteFree(void* p) {
    Release(p);
}
void* SqliteRealloc(void* p, int n) {
    Uncounted(p);
    void* q = std::realloc(p, static_cast<std::size_t>(n));
    Counted(q ? q : p);
    return q;
}
int SqliteSize(void* p) {
    return static_cast<int>(malloc_usable_size(p));
}
int SqliteRoundup(int n) {
    return (n + 7) & ~7;
}
int SqliteInit(void*) {
    return SQLITE_OK;
}
void SqliteShutdown(void*) {}

bool CountSqliteHeap() {
    static const sqlite3_mem_methods methods{SqliteMalloc,  SqliteFree, SqliteRealloc,  SqliteSize,
                                             SqliteRoundup, SqliteInit, SqliteShutdown, nullptr};
    return sqlite3_config(SQLITE_CONFIG_MALLOC, &methods) == SQLITE_OK;
}

}  // namespace

void* operator new(std::size_t n) {
    return Allocate(n, 0, false);
}
void* operator new[](std::size_t n) {
    return Allocate(n, 0, false);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return Allocate(n, 0, true);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return Allocate(n, 0, true);
}
void* operator new(std::size_t n, std::align_val_t a) {
    return Allocate(n, static_cast<std::size_t>(a), false);
}
void* operator new[](std::size_t n, std::align_val_t a) {
    return Allocate(n, static_cast<std::size_t>(a), false);
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return Allocate(n, static_cast<std::size_t>(a), true);
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return Allocate(n, static_cast<std::size_t>(a), true);
}
void operator delete(void* p) noexcept {
    Release(p);
}
void operator delete[](void* p) noexcept {
    Release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    Release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    Release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    Release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    Release(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    Release(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    Release(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    Release(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    Release(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    Release(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    Release(p);
}

namespace {

namespace fs = std::filesystem;

constexpr int kLargeRuns = 100'000;
constexpr int kSmallRuns = 1'000;

// ---- Records as a line makes them ------------------------------------------------

// The kit's keys a run asks for: the IR remote's but the token key, and the game pad's.
constexpr KeyId kKitKeys[] = {
    8,   13,  27,  33,  34,   37,   38,   39,   40,   48,   49,   50,   51,   52,   53,   54,
    55,  56,  57,  146, 147,  148,  173,  174,  175,  176,  177,  178,  179,  227,  233,  234,
    235, 236, 238, 243, 4097, 4098, 4099, 4100, 4101, 4102, 4103, 4104, 4105, 4106, 4107, 4108,
};
static_assert(std::size(kKitKeys) == 48);

// 2026-03-02T08:00:00Z: a line's first morning.
constexpr UtcMicros kLineStart = 1'772'438'400'000'000;
constexpr UtcMicros kSecond = 1'000'000;

using Rng = std::mt19937_64;

int Pick(Rng& rng, int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(rng);
}

bool Chance(Rng& rng, int percent) {
    return Pick(rng, 1, 100) <= percent;
}

std::string Numbered(const char* prefix, int n, int digits) {
    std::string text = std::to_string(n);
    if (static_cast<int>(text.size()) < digits)
        text.insert(0, static_cast<std::size_t>(digits) - text.size(), '0');
    return prefix + text;
}

// A run at `station` of a unit (`label` may be empty: a kit without its label, known by
// its token) ending as `outcome`: 2 receivers, the 3 steps as far as it got, the 48
// keys with a press or three each, the service calls of the token step.
RunRecord FullRecord(Rng& rng, const std::string& station, const std::string& label,
                     const std::string& token, UtcMicros t, RunOutcome outcome) {
    RunRecord r;
    r.id = NewRunId();
    r.station = station;
    r.operatorId = Numbered("op-", Pick(rng, 1, 12), 2);
    r.labelSerial = label;
    r.started = t;
    r.version = "0.1.0";
    r.outcome = outcome;
    r.receivers = {{"ir", "working", "/dev/hidraw3", "1-2:1.0", 0x1d57, 0xad02},
                   {"game", "working", "/dev/hidraw4", "1-3:1.0", 0x1d57, 0xad03}};

    const bool keysFail = outcome == RunOutcome::Fail;
    const bool aborted = outcome == RunOutcome::Aborted;
    std::vector<std::string> missing;
    std::int64_t at = Pick(rng, 800, 2500);
    const std::size_t stopAt = aborted ? static_cast<std::size_t>(Pick(rng, 5, 40)) : 48;
    for (std::size_t i = 0; i < std::size(kKitKeys); ++i) {
        KeyRecord& k = r.keys.emplace_back();
        k.id = kKitKeys[i];
        k.name = std::string(KeyName(k.id));
        const bool never = i >= stopAt || (keysFail && Chance(rng, 5));
        if (never) {
            k.missing = true;
            missing.push_back(k.name);
            continue;
        }
        k.presses = Chance(rng, 80) ? 1 : Pick(rng, 2, 3);
        at += Pick(rng, 300, 900);
        k.firstPressMs = at;
        for (int p = 0; p < k.presses; ++p)
            k.durationsMs.push_back(Pick(rng, 60, 240));
        if (keysFail && Chance(rng, 1)) {
            k.stuck = true;
            k.durationsMs.back() = Pick(rng, 5000, 9000);
        }
        if (keysFail && k.presses > 1 && Chance(rng, 3))
            k.doubled = true;
    }
    if (keysFail && missing.empty()) {
        KeyRecord& k = r.keys[static_cast<std::size_t>(Pick(rng, 0, 47))];
        k = KeyRecord{k.id, k.name, 0, std::nullopt, {}, true, false, false};
        missing.push_back(k.name);
    }

    const UtcMicros keysStart = t + Pick(rng, 200, 600) * 1000;
    const UtcMicros keysEnd = keysStart + (at + Pick(rng, 500, 1500)) * 1000;
    r.steps.push_back({"receivers", StepOutcome::Pass, "", 0, t, keysStart});
    if (keysFail || aborted) {
        std::string why = std::to_string(missing.size()) + " key(s) never pressed:";
        for (const auto& name : missing)
            why += " " + name + ",";
        why.pop_back();
        if (aborted)
            why = "stopped by the operator";
        r.steps.push_back({"keys", aborted ? StepOutcome::Aborted : StepOutcome::Fail, why,
                           aborted ? 130 : 4, keysStart, keysEnd});
        r.steps.push_back({"token", StepOutcome::Skipped, "after a failed step", 0, 0, 0});
        r.failedStep = "keys";
        r.why = why;
        r.exitStatus = aborted ? 130 : 4;
        r.ended = keysEnd;
        return r;
    }
    r.steps.push_back({"keys", StepOutcome::Pass, "", 0, keysStart, keysEnd});

    const UtcMicros tokenEnd = keysEnd + Pick(rng, 2, 6) * kSecond;
    r.ended = tokenEnd;
    if (outcome == RunOutcome::Error && Chance(rng, 50)) {
        r.steps.push_back(
            {"token", StepOutcome::Error, "no token frame within 30 s", 5, keysEnd, tokenEnd});
        r.failedStep = "token";
        r.why = "no token frame within 30 s";
        r.exitStatus = 5;
        return r;
    }
    r.tokenSerial = token;
    r.decodeResult = 0;
    if (outcome == RunOutcome::Error) {
        r.serviceCalls.push_back({"verify", "unreachable", std::nullopt, tokenEnd - kSecond});
        r.steps.push_back({"token", StepOutcome::Error, "the token service did not answer", 6,
                           keysEnd, tokenEnd});
        r.failedStep = "token";
        r.why = "the token service did not answer";
        r.exitStatus = 6;
        return r;
    }
    r.serviceCalls.push_back({"verify", "passed", 1, tokenEnd - 2 * kSecond});
    if (Chance(rng, 40)) {
        r.serviceCalls.push_back({"calibrate", "passed", 0, tokenEnd - kSecond});
        r.calibration = "passed";
    }
    r.steps.push_back({"token", StepOutcome::Pass, "", 0, keysEnd, tokenEnd});
    return r;
}

// ---- The rows, through the bare C API -----------------------------------------------

class BareDb {
public:
    // Opened as the store opens it: WAL, synchronous=FULL, foreign keys, the same wait.
    explicit BareDb(const std::string& path) {
        m_ok = sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
        sqlite3_busy_timeout(m_db, 5000);
        m_ok = m_ok && Exec("PRAGMA journal_mode = WAL") && Exec("PRAGMA synchronous = FULL") &&
               Exec("PRAGMA foreign_keys = ON");
    }
    ~BareDb() { sqlite3_close_v2(m_db); }
    BareDb(const BareDb&) = delete;
    BareDb& operator=(const BareDb&) = delete;

    bool Ok() const { return m_ok; }
    bool Exec(const char* sql) {
        return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    sqlite3* Db() const { return m_db; }
    std::string Error() const { return sqlite3_errmsg(m_db); }

private:
    sqlite3* m_db = nullptr;
    bool m_ok = false;
};

class Prepared {
public:
    Prepared(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr); }
    ~Prepared() { sqlite3_finalize(m_stmt); }
    Prepared(const Prepared&) = delete;
    Prepared& operator=(const Prepared&) = delete;

    bool Ok() const { return m_stmt != nullptr; }
    sqlite3_stmt* operator*() const { return m_stmt; }

    void Text(int i, const std::string& text) {
        sqlite3_bind_text(m_stmt, i, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
    }
    void Int(int i, std::int64_t value) { sqlite3_bind_int64(m_stmt, i, value); }
    template <typename T>
    void Int(int i, const std::optional<T>& value) {
        if (value)
            Int(i, *value);
        else
            sqlite3_bind_null(m_stmt, i);
    }
    // Runs it once; ready for the next.
    bool Run() {
        const int rc = sqlite3_step(m_stmt);
        sqlite3_reset(m_stmt);
        return rc == SQLITE_DONE;
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

std::string HostName() {
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    return name;
}

// A run's rows in the store's tables, with statements prepared once.
class BareRows {
public:
    explicit BareRows(sqlite3* db)
        : m_run(db,
                "INSERT INTO runs (id, station, operator, label_serial, token_serial, "
                "unit_serial, started_us, ended_us, version, outcome, failed_step, why, "
                "exit_status, retest, decode_result, calibration, passwords, pid, host) "
                "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, "
                "?16, ?17, ?18, ?19)"),
          m_receiver(db,
                     "INSERT INTO receivers (run_id, seq, role, state, node, usb_path, vendor, "
                     "product) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"),
          m_step(db,
                 "INSERT INTO steps (run_id, seq, name, outcome, why, code, started_us, "
                 "ended_us) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"),
          m_key(db,
                "INSERT INTO keys (run_id, seq, key_id, name, presses, first_press_ms, "
                "durations_ms, missing, doubled, stuck) "
                "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)"),
          m_call(db,
                 "INSERT INTO service_calls (run_id, seq, kind, outcome, result, at_us) "
                 "VALUES (?1, ?2, ?3, ?4, ?5, ?6)"),
          m_host(HostName()),
          m_pid(::getpid()) {}

    bool Ok() const {
        return m_run.Ok() && m_receiver.Ok() && m_step.Ok() && m_key.Ok() && m_call.Ok();
    }

    bool Insert(const RunRecord& r, int retest) {
        m_unit = UnitSerial(r);
        m_outcome = RunOutcomeKey(r.outcome);
        m_run.Text(1, r.id);
        m_run.Text(2, r.station);
        m_run.Text(3, r.operatorId);
        m_run.Text(4, r.labelSerial);
        m_run.Text(5, r.tokenSerial);
        m_run.Text(6, m_unit);
        m_run.Int(7, r.started);
        m_run.Int(8, r.ended);
        m_run.Text(9, r.version);
        m_run.Text(10, m_outcome);
        m_run.Text(11, r.failedStep);
        m_run.Text(12, r.why);
        m_run.Int(13, r.exitStatus);
        m_run.Int(14, retest);
        m_run.Int(15, r.decodeResult);
        m_run.Text(16, r.calibration);
        m_run.Text(17, m_noPasswords);
        m_run.Int(18, m_pid);
        m_run.Text(19, m_host);
        if (!m_run.Run())
            return false;
        int seq = 0;
        for (const auto& x : r.receivers) {
            m_receiver.Text(1, r.id);
            m_receiver.Int(2, seq++);
            m_receiver.Text(3, x.role);
            m_receiver.Text(4, x.state);
            m_receiver.Text(5, x.node);
            m_receiver.Text(6, x.usbPath);
            m_receiver.Int(7, x.vendor);
            m_receiver.Int(8, x.product);
            if (!m_receiver.Run())
                return false;
        }
        seq = 0;
        for (const auto& s : r.steps) {
            m_outcome = StepOutcomeKey(s.outcome);
            m_step.Text(1, r.id);
            m_step.Int(2, seq++);
            m_step.Text(3, s.name);
            m_step.Text(4, m_outcome);
            m_step.Text(5, s.why);
            m_step.Int(6, s.code);
            m_step.Int(7, s.started);
            m_step.Int(8, s.ended);
            if (!m_step.Run())
                return false;
        }
        seq = 0;
        for (const auto& k : r.keys) {
            m_durations = "[";
            for (const auto d : k.durationsMs)
                m_durations += std::to_string(d) + ",";
            if (m_durations.size() > 1)
                m_durations.pop_back();
            m_durations += "]";
            m_key.Text(1, r.id);
            m_key.Int(2, seq++);
            m_key.Int(3, k.id);
            m_key.Text(4, k.name);
            m_key.Int(5, k.presses);
            m_key.Int(6, k.firstPressMs);
            m_key.Text(7, m_durations);
            m_key.Int(8, k.missing);
            m_key.Int(9, k.doubled);
            m_key.Int(10, k.stuck);
            if (!m_key.Run())
                return false;
        }
        seq = 0;
        for (const auto& c : r.serviceCalls) {
            m_call.Text(1, r.id);
            m_call.Int(2, seq++);
            m_call.Text(3, c.kind);
            m_call.Text(4, c.outcome);
            m_call.Int(5, c.result);
            m_call.Int(6, c.at);
            if (!m_call.Run())
                return false;
        }
        return true;
    }

private:
    Prepared m_run;
    Prepared m_receiver;
    Prepared m_step;
    Prepared m_key;
    Prepared m_call;
    std::string m_host;
    std::int64_t m_pid;
    const std::string m_noPasswords = "[]";
    std::string m_unit;
    std::string m_outcome;
    std::string m_durations;
};

// ---- The stores read -----------------------------------------------------------------

class Scratch {
public:
    Scratch() {
        std::string templ = (fs::temp_directory_path() / "quillon-bench-XXXXXX").string();
        if (::mkdtemp(templ.data()) == nullptr) {
            std::perror("bench_results: mkdtemp");
            std::abort();
        }
        m_path = templ;
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    std::string File(const char* name) const { return (m_path / name).string(); }

private:
    fs::path m_path;
};

Scratch& Dir() {
    static Scratch dir;
    return dir;
}

// An empty store of the store's own schema.
bool NewStore(const std::string& path, std::string* error) {
    fs::remove(path);
    return SqliteResultsStore::Open(path, error) != nullptr;
}

struct Planned {
    UtcMicros started;
    int unit;
    int station;
    RunOutcome outcome;
};

// `runs` runs of a line of 4 stations, a unit every 5 minutes or so: about 7 in 10 pass;
// a unit that does not is tested again (up to 3 times, mostly at the same station);
// 1 in 50 units has no label and is known by its token when it gets that far.
std::vector<Planned> Plan(Rng& rng, int runs) {
    std::vector<Planned> plan;
    for (int unit = 0; static_cast<int>(plan.size()) < runs + runs / 10; ++unit) {
        UtcMicros t = kLineStart + unit * 300 * kSecond + Pick(rng, 0, 120) * kSecond;
        int station = unit % 4;
        for (int attempt = 0; attempt < 4; ++attempt) {
            const int roll = Pick(rng, 1, 100);
            const int pass = attempt == 0 ? 70 : 75;
            const int fail = pass + (attempt == 0 ? 21 : 17);
            const RunOutcome outcome = roll <= pass       ? RunOutcome::Pass
                                       : roll <= fail     ? RunOutcome::Fail
                                       : roll <= fail + 6 ? RunOutcome::Error
                                                          : RunOutcome::Aborted;
            if (attempt > 0) {
                t += Pick(rng, 600, 1800) * kSecond;
                if (Chance(rng, 10))
                    station = (station + 1) % 4;
            }
            plan.push_back({t, unit, station, outcome});
            if (outcome == RunOutcome::Pass)
                break;
        }
    }
    std::sort(plan.begin(), plan.end(),
              [](const Planned& a, const Planned& b) { return a.started < b.started; });
    plan.resize(static_cast<std::size_t>(runs));
    return plan;
}

// A store of `runs` runs, in one transaction.
bool MakeStore(const std::string& path, int runs, std::string* error) {
    if (!NewStore(path, error))
        return false;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        *error = "cannot open " + path;
        sqlite3_close(db);
        return false;
    }
    // Made once and thrown away: no journal, no syncs, the index pages kept in memory.
    auto exec = [db](const char* sql) {
        return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    };
    bool ok = exec("PRAGMA journal_mode = OFF") && exec("PRAGMA synchronous = OFF") &&
              exec("PRAGMA cache_size = -524288") && exec("BEGIN");
    {
        BareRows rows(db);
        ok = ok && rows.Ok();
        Rng rng(20260302);
        std::map<std::pair<int, std::string>, int> earlier;
        for (const Planned& p : Plan(rng, runs)) {
            if (!ok)
                break;
            const bool labelled = p.unit % 50 != 7;
            const std::string label = labelled ? Numbered("QX-", p.unit, 7) : std::string();
            RunRecord r = FullRecord(rng, Numbered("line-", p.station + 1, 1), label,
                                     Numbered("T", 40'000'000 + p.unit, 8), p.started, p.outcome);
            const std::string unit = UnitSerial(r);
            int retest = 0;
            if (!unit.empty())
                retest = earlier[{p.station, unit}]++;
            ok = rows.Insert(r, retest);
        }
    }
    ok = ok && exec("COMMIT");
    if (!ok)
        *error = "cannot make " + path + ": " + sqlite3_errmsg(db);
    sqlite3_close(db);
    return ok;
}

struct Stores {
    std::string large;  // kLargeRuns runs
    std::string small;  // kSmallRuns runs
    std::string error;  // empty when both were made
    std::int64_t largeBytes = 0;
};

const Stores& Made() {
    static const Stores stores = [] {
        Stores s;
        s.large = Dir().File("large.sqlite");
        s.small = Dir().File("small.sqlite");
        const auto start = std::chrono::steady_clock::now();
        if (!MakeStore(s.large, kLargeRuns, &s.error) || !MakeStore(s.small, kSmallRuns, &s.error))
            return s;
        std::error_code ec;
        s.largeBytes = static_cast<std::int64_t>(fs::file_size(s.large, ec));
        std::fprintf(
            stderr, "made stores of %d and %d runs (%.0f MiB) in %.1f s\n", kLargeRuns, kSmallRuns,
            static_cast<double>(s.largeBytes) / (1 << 20),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        return s;
    }();
    return stores;
}

std::unique_ptr<SqliteResultsStore> OpenStore(benchmark::State& state, const std::string& path) {
    std::string error;
    auto store = SqliteResultsStore::Open(path, &error);
    if (!store)
        state.SkipWithError(error.c_str());
    return store;
}

// ---- 1. One run's record ------------------------------------------------------------

RunRecord RecordToWrite() {
    Rng rng(7);
    RunRecord r;
    do {
        r = FullRecord(rng, "line-1", "QX-0000001", "T40000001", kLineStart, RunOutcome::Pass);
    } while (r.serviceCalls.size() != 2);
    return r;
}

// Each write durable when it returns, on a store that starts empty. The store begins
// the run (a durable row of its own, so that a run killed at any moment shows as
// ABORTED) and finishes it; Finish alone shows what that first commit costs.
void WriteThroughStore(benchmark::State& state, bool begin) {
    const std::string path = Dir().File(begin ? "write-store.sqlite" : "write-finish.sqlite");
    std::string error;
    if (!NewStore(path, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    auto store = OpenStore(state, path);
    if (!store)
        return;
    RunRecord record = RecordToWrite();
    int unit = 0;
    for (auto _ : state) {
        record.id = NewRunId();
        record.labelSerial = Numbered("QX-", ++unit, 7);
        if ((begin && !store->Begin(record)) || !store->Finish(record)) {
            state.SkipWithError(store->LastError().c_str());
            break;
        }
    }
}

void BM_RecordThroughStore(benchmark::State& state) {
    WriteThroughStore(state, true);
}

void BM_RecordFinishOnly(benchmark::State& state) {
    WriteThroughStore(state, false);
}

// The same rows in one transaction, the statements prepared once.
void BM_RecordThroughBareSqlite(benchmark::State& state) {
    const std::string path = Dir().File("write-bare.sqlite");
    std::string error;
    if (!NewStore(path, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    BareDb db(path);
    BareRows rows(db.Db());
    Prepared begin(db.Db(), "BEGIN IMMEDIATE");
    Prepared commit(db.Db(), "COMMIT");
    if (!db.Ok() || !rows.Ok() || !begin.Ok() || !commit.Ok()) {
        state.SkipWithError(db.Error().c_str());
        return;
    }
    RunRecord record = RecordToWrite();
    int unit = 0;
    for (auto _ : state) {
        record.id = NewRunId();
        record.labelSerial = Numbered("QX-", ++unit, 7);
        if (!begin.Run() || !rows.Insert(record, 0) || !commit.Run()) {
            state.SkipWithError(db.Error().c_str());
            break;
        }
    }
}

// A shared machine's load comes and goes: the median of a few runs of each.
BENCHMARK(BM_RecordThroughStore)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(0.2)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_RecordFinishOnly)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(0.2)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_RecordThroughBareSqlite)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(0.2)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// ---- 2. The summary of 100,000 runs -------------------------------------------------

// The numbers of Summarize({}) in one statement, as one would write it for this schema
// (and its indexes) with nothing to filter.
constexpr const char* kSummarySql = R"sql(
SELECT 'outcome', outcome, count(*), total(retest > 0) FROM runs GROUP BY outcome
UNION ALL
SELECT 'first', NULL, count(*), total(a.outcome = 'PASS') FROM runs a
  WHERE a.unit_serial <> '' AND NOT EXISTS (SELECT 1 FROM runs e
    WHERE e.unit_serial = a.unit_serial AND (e.started_us, e.id) < (a.started_us, a.id))
UNION ALL
SELECT 'step', failed_step, count(*), NULL FROM runs
  WHERE outcome IN ('FAIL', 'ERROR') AND failed_step <> '' GROUP BY failed_step
UNION ALL
SELECT 'key', name, count(DISTINCT run_id), NULL FROM keys
  WHERE missing OR doubled OR stuck GROUP BY name
)sql";

std::string ColumnText(sqlite3_stmt* row, int i) {
    const auto* text = sqlite3_column_text(row, i);
    return text ? reinterpret_cast<const char*>(text) : "";
}

bool HandSummary(Prepared& query, ResultsSummary* out) {
    ResultsSummary s;
    int rc;
    while ((rc = sqlite3_step(*query)) == SQLITE_ROW) {
        const std::string what = ColumnText(*query, 0);
        const std::int64_t n = sqlite3_column_int64(*query, 2);
        if (what == "outcome") {
            s.byOutcome[ColumnText(*query, 1)] = n;
            s.runs += n;
            s.retests += sqlite3_column_int64(*query, 3);
        } else if (what == "first") {
            s.units = n;
            s.firstPassUnits = sqlite3_column_int64(*query, 3);
        } else {
            (what == "step" ? s.failuresByStep : s.failuresByKey)[ColumnText(*query, 1)] = n;
        }
    }
    sqlite3_reset(*query);
    s.firstPassYield =
        s.units > 0 ? static_cast<double>(s.firstPassUnits) / static_cast<double>(s.units) : 0;
    *out = std::move(s);
    return rc == SQLITE_DONE;
}

bool SameNumbers(const ResultsSummary& a, const ResultsSummary& b) {
    return a.runs == b.runs && a.units == b.units && a.firstPassUnits == b.firstPassUnits &&
           a.retests == b.retests && a.byOutcome == b.byOutcome &&
           a.failuresByStep == b.failuresByStep && a.failuresByKey == b.failuresByKey;
}

void BM_SummaryThroughStore(benchmark::State& state) {
    const Stores& stores = Made();
    if (!stores.error.empty()) {
        state.SkipWithError(stores.error.c_str());
        return;
    }
    auto store = OpenStore(state, stores.large);
    if (!store)
        return;
    ResultsSummary summary;
    for (auto _ : state) {
        auto s = store->Summarize({});
        if (!s) {
            state.SkipWithError(store->LastError().c_str());
            break;
        }
        summary = std::move(*s);
    }
    state.counters["runs"] = static_cast<double>(summary.runs);
    state.counters["first_pass_yield"] = summary.firstPassYield;
    state.counters["retests"] = static_cast<double>(summary.retests);
}
BENCHMARK(BM_SummaryThroughStore)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

void BM_SummaryByHand(benchmark::State& state) {
    const Stores& stores = Made();
    if (!stores.error.empty()) {
        state.SkipWithError(stores.error.c_str());
        return;
    }
    BareDb db(stores.large);
    Prepared query(db.Db(), kSummarySql);
    if (!db.Ok() || !query.Ok()) {
        state.SkipWithError(db.Error().c_str());
        return;
    }
    // A baseline that counts something else would make the ratio meaningless.
    {
        std::string error;
        auto store = SqliteResultsStore::Open(stores.large, &error);
        auto ours = store ? store->Summarize({}) : std::nullopt;
        ResultsSummary hand;
        if (!ours || !HandSummary(query, &hand) || !SameNumbers(*ours, hand)) {
            state.SkipWithError("the hand-written query does not give the store's numbers");
            return;
        }
    }
    ResultsSummary summary;
    for (auto _ : state) {
        if (!HandSummary(query, &summary)) {
            state.SkipWithError(db.Error().c_str());
            break;
        }
    }
}
BENCHMARK(BM_SummaryByHand)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

// ---- 3. Exports ---------------------------------------------------------------------

// Takes what a writer writes and keeps only its size.
class CountingSink : public std::streambuf {
public:
    std::int64_t bytes = 0;

protected:
    std::streamsize xsputn(const char*, std::streamsize n) override {
        bytes += n;
        return n;
    }
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof()))
            ++bytes;
        return traits_type::not_eof(c);
    }
};

// As quillonctl results --format does it: Query() into a writer. Each export on a
// store opened for it, so that SQLite's page cache fills within the measurement.
void BM_Export(benchmark::State& state, ExportFormat format, bool large) {
    const Stores& stores = Made();
    if (!stores.error.empty()) {
        state.SkipWithError(stores.error.c_str());
        return;
    }
    std::int64_t peak = 0;
    std::int64_t runs = 0;
    std::int64_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto store = OpenStore(state, large ? stores.large : stores.small);
        if (!store)
            break;
        CountingSink sink;
        std::ostream out(&sink);
        state.ResumeTiming();

        PeakGrowth growth;
        runs = 0;
        {
            auto writer = MakeRecordWriter(format, out);
            const bool ok = store->Query({}, [&](const RunRecord& record) {
                writer->Write(record);
                ++runs;
                return true;
            });
            writer->End();
            if (!ok) {
                state.SkipWithError(store->LastError().c_str());
                break;
            }
        }
        peak = std::max(peak, growth.Bytes());
        bytes = sink.bytes;
    }
    state.counters["peak_heap"] = benchmark::Counter(
        static_cast<double>(peak), benchmark::Counter::kDefaults, benchmark::Counter::kIs1024);
    state.counters["runs"] = static_cast<double>(runs);
    state.counters["written"] = benchmark::Counter(
        static_cast<double>(bytes), benchmark::Counter::kDefaults, benchmark::Counter::kIs1024);
}
BENCHMARK_CAPTURE(BM_Export, csv_1k, ExportFormat::Csv, false)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Export, csv_100k, ExportFormat::Csv, true)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Export, jsonl_1k, ExportFormat::JsonLines, false)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Export, jsonl_100k, ExportFormat::JsonLines, true)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// ---- The table at the end -----------------------------------------------------------

struct Figure {
    double seconds = 0;  // real time per iteration
    std::map<std::string, double> counters;
    bool median = false;
};

// Prints the usual lines and keeps each benchmark's figures by its name and argument:
// the median of its repetitions when it has them.
class TableReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.error_occurred || run.iterations == 0 ||
                (!median && run.run_type != Run::RT_Iteration))
                continue;
            std::string name = run.run_name.function_name;
            if (!run.run_name.args.empty())
                name += "/" + run.run_name.args;
            Figure& f = m_figures[name];
            if (f.median && !median)
                continue;
            f.median = median;
            f.seconds = run.real_accumulated_time / static_cast<double>(run.iterations);
            for (const auto& [key, counter] : run.counters)
                f.counters[key] = counter.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintTable() const {
        std::printf("\n%-44s %12s %12s %8s  %s\n", "", "measured", "baseline", "ratio", "target");
        Row("record: store Begin+Finish / bare SQLite", Time("BM_RecordThroughStore"),
            Time("BM_RecordThroughBareSqlite"), "at most 1.5x", Millis);
        Row("  (Finish alone / bare SQLite)", Time("BM_RecordFinishOnly"),
            Time("BM_RecordThroughBareSqlite"), "-", Millis);
        Row("summary of 100k runs: store / hand query", Time("BM_SummaryThroughStore"),
            Time("BM_SummaryByHand"), "under 300 ms, at most 2x", Millis);
        Row("CSV export peak heap: 100k / 1k runs", Counter("BM_Export/csv_100k", "peak_heap"),
            Counter("BM_Export/csv_1k", "peak_heap"), "flat: ~1x", Mebibytes);
        Row("JSON Lines export peak heap: 100k / 1k", Counter("BM_Export/jsonl_100k", "peak_heap"),
            Counter("BM_Export/jsonl_1k", "peak_heap"), "flat: ~1x", Mebibytes);
    }

private:
    static std::string Millis(double seconds) {
        char text[32];
        std::snprintf(text, sizeof text, "%.2f ms", seconds * 1e3);
        return text;
    }
    static std::string Mebibytes(double bytes) {
        char text[32];
        std::snprintf(text, sizeof text, "%.2f MiB", bytes / (1 << 20));
        return text;
    }

    std::optional<double> Time(const std::string& name) const {
        const auto f = m_figures.find(name);
        return f == m_figures.end() ? std::nullopt : std::optional<double>(f->second.seconds);
    }
    std::optional<double> Counter(const std::string& name, const std::string& key) const {
        const auto f = m_figures.find(name);
        if (f == m_figures.end())
            return std::nullopt;
        const auto c = f->second.counters.find(key);
        return c == f->second.counters.end() ? std::nullopt : std::optional<double>(c->second);
    }

    static void Row(const char* name, std::optional<double> measured,
                    std::optional<double> baseline, const char* target,
                    std::string (*unit)(double)) {
        const std::string m = measured ? unit(*measured) : "-";
        const std::string b = baseline ? unit(*baseline) : "-";
        std::string ratio = "-";
        if (measured && baseline && *baseline > 0) {
            char text[32];
            std::snprintf(text, sizeof text, "%.2fx", *measured / *baseline);
            ratio = text;
        }
        std::printf("%-44s %12s %12s %8s  %s\n", name, m.c_str(), b.c_str(), ratio.c_str(), target);
    }

    std::map<std::string, Figure> m_figures;
};

}  // namespace

int main(int argc, char** argv) {
    if (!CountSqliteHeap()) {
        std::fprintf(stderr, "bench_results: cannot count SQLite's heap\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintTable();
    benchmark::Shutdown();
    return 0;
}
