// The shared store against a real PostgreSQL server of the test's own.

#include "station/results_store_pg.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/station/station_records.h"
#include "tests/support/pg_server.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

class PgStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The station's password comes from the password file alone.
        ::setenv("PGPASSFILE", server.PasswordFile().c_str(), 1);
        ::unsetenv("PGPASSWORD");
        std::string error;
        ASSERT_TRUE(server.Start(&error)) << error;
        store = PgResultsStore::Connect(server.StationUrl(), &error);
        ASSERT_NE(store, nullptr) << error;
    }

    std::string Sql(const std::string& sql) {
        std::string value, error;
        EXPECT_TRUE(server.Scalar(sql, &value, &error)) << error;
        return value;
    }

    std::vector<RunRecord> All(const RunFilter& filter = {}) {
        std::vector<RunRecord> runs;
        EXPECT_TRUE(store->Query(filter, [&](const RunRecord& r) {
            runs.push_back(r);
            return true;
        })) << store->LastError();
        return runs;
    }

    void ExpectNoPassword(const std::string& text) {
        EXPECT_EQ(text.find(server.Password()), std::string::npos) << text;
    }

    PgServer server;
    std::unique_ptr<PgResultsStore> store;
};

TEST_F(PgStoreTest, KeepsEveryFieldOfARecordFromStartedToFinished) {
    RunRecord record = FullRecord();
    record.station = "Linie 1 – Prüfplatz ✓";
    ASSERT_TRUE(store->Begin(record)) << store->LastError();
    std::vector<RunRecord> runs = All();
    ASSERT_EQ(runs.size(), 1U);
    EXPECT_EQ(runs[0].outcome, RunOutcome::Started);
    EXPECT_EQ(runs[0].labelSerial, record.labelSerial);
    EXPECT_TRUE(runs[0].keys.empty());

    ASSERT_TRUE(store->Finish(record)) << store->LastError();
    EXPECT_EQ(record.retest, 0);
    runs = All();
    ASSERT_EQ(runs.size(), 1U);
    ExpectSameRecord(record, runs[0]);
    EXPECT_EQ(Sql("SELECT count(*) FROM keys"), "3");
    EXPECT_EQ(Sql("SELECT pid IS NOT NULL AND host <> '' FROM runs"), "t");

    // A record with nothing optional in it comes back empty, not with defaults.
    RunRecord bare;
    bare.id = NewRunId();
    bare.started = record.started + 1;
    bare.outcome = RunOutcome::Error;
    ASSERT_TRUE(store->Finish(bare)) << store->LastError();
    runs = All();
    ASSERT_EQ(runs.size(), 2U);
    ExpectSameRecord(bare, runs[0]);
}

TEST_F(PgStoreTest, CountsRetestsAsEarlierFinishedRunsOfTheUnitAtItsStation) {
    const UtcMicros t = 1'797'000'000'000'000;
    auto finish = [&](const std::string& station, const std::string& label,
                      const std::string& token, UtcMicros started) {
        RunRecord r = FullRecord(label, started);
        r.station = station;
        r.tokenSerial = token;
        EXPECT_TRUE(store->Finish(r)) << store->LastError();
        return r.retest;
    };
    EXPECT_EQ(finish("A", "U1", "", t), 0);
    EXPECT_EQ(finish("A", "U1", "", t + 10), 1);
    EXPECT_EQ(finish("B", "U1", "", t + 20), 0);  // another station
    // No label: the token's serial is the unit.
    EXPECT_EQ(finish("A", "", "U1", t + 30), 2);
    // Without any serial nothing is a retest.
    EXPECT_EQ(finish("A", "", "", t + 40), 0);
    EXPECT_EQ(finish("A", "", "", t + 50), 0);
    // A run that only began is not counted.
    RunRecord begun = FullRecord("U1", t + 60);
    begun.station = "A";
    ASSERT_TRUE(store->Begin(begun));
    EXPECT_EQ(finish("A", "U1", "", t + 70), 3);
    // A record delivered late counts only what started before it.
    EXPECT_EQ(finish("A", "U1", "", t + 5), 1);
}

TEST_F(PgStoreTest, KeepsARecordFinishedTwiceOnce) {
    RunRecord record = FullRecord("U7");
    ASSERT_TRUE(store->Begin(record));
    ASSERT_TRUE(store->Finish(record)) << store->LastError();

    RunRecord again = record;
    again.outcome = RunOutcome::Pass;
    again.retest = 99;
    again.keys.pop_back();
    EXPECT_TRUE(store->Finish(again)) << store->LastError();
    EXPECT_EQ(again.retest, 0);  // the stored one's
    EXPECT_TRUE(store->Begin(record)) << store->LastError();

    EXPECT_EQ(Sql("SELECT count(*) FROM runs"), "1");
    EXPECT_EQ(Sql("SELECT count(*) FROM keys"), "3");
    EXPECT_EQ(Sql("SELECT count(*) FROM steps"), "3");
    const std::vector<RunRecord> runs = All();
    ASSERT_EQ(runs.size(), 1U);
    ExpectSameRecord(record, runs[0]);
}

TEST_F(PgStoreTest, StoresHostileTextVerbatimAndRefusesWhatItCannotKeep) {
    const std::string hostile = "a'b\"c;d\\e'); DROP TABLE runs; --%_\\x27$1 {\"},{\"";
    RunRecord record = FullRecord(hostile);
    record.operatorId = "o'; DELETE FROM keys; --";
    record.why = "back\\slash\nnew line\ttab";
    record.keys[0].name = "\"},{\"seq\":1}]";
    record.passwords = {"\"]", "'", "\\"};
    ASSERT_TRUE(store->Begin(record)) << store->LastError();
    ASSERT_TRUE(store->Finish(record)) << store->LastError();
    RunRecord other = FullRecord("plain");
    ASSERT_TRUE(store->Finish(other)) << store->LastError();

    RunFilter bySerial;
    bySerial.serial = hostile;
    std::vector<RunRecord> runs = All(bySerial);
    ASSERT_EQ(runs.size(), 1U);
    ExpectSameRecord(record, runs[0]);
    bySerial.serial = "a'b";  // no pattern matching
    EXPECT_TRUE(All(bySerial).empty());
    EXPECT_EQ(Sql("SELECT count(*) FROM runs"), "2");
    EXPECT_EQ(Sql("SELECT count(*) FROM keys"), "6");

    // Cut at a NUL, or refused by the server for bad UTF-8: either loses text.
    for (const std::string& bad : {std::string("U\0nul", 5), std::string("U\xff\xfe")}) {
        RunRecord broken = FullRecord(bad);
        EXPECT_FALSE(store->Finish(broken));
        EXPECT_NE(store->LastError().find("label serial"), std::string::npos) << store->LastError();
        EXPECT_FALSE(store->Begin(broken));
    }
    RunRecord badKey = FullRecord();
    badKey.keys[1].name = "\xc0\xaf";  // an overlong '/'
    EXPECT_FALSE(store->Finish(badKey));
    EXPECT_NE(store->LastError().find("key name"), std::string::npos) << store->LastError();
    EXPECT_EQ(Sql("SELECT count(*) FROM runs"), "2");
    EXPECT_TRUE(store->Connected());
}

TEST_F(PgStoreTest, QueriesNewestFirstThroughFiltersAndStreamsInPieces) {
    const UtcMicros t = 1'797'000'000'000'000;
    std::vector<RunRecord> made;
    for (int i = 0; i < 6; ++i) {
        RunRecord r = FullRecord("S" + std::to_string(i % 3), t + i * 1000);
        r.station = i % 2 == 0 ? "even" : "odd";
        r.outcome = i == 4 ? RunOutcome::Pass : RunOutcome::Fail;
        ASSERT_TRUE(store->Finish(r)) << store->LastError();
        made.push_back(r);
    }
    std::vector<RunRecord> runs = All();
    ASSERT_EQ(runs.size(), 6U);
    for (std::size_t i = 0; i < runs.size(); ++i)
        EXPECT_EQ(runs[i].id, made[5 - i].id);

    RunFilter f;
    f.since = t + 1000;
    f.until = t + 4000;  // before
    runs = All(f);
    ASSERT_EQ(runs.size(), 3U);
    EXPECT_EQ(runs.front().id, made[3].id);
    EXPECT_EQ(runs.back().id, made[1].id);
    f = {};
    f.station = "odd";
    f.serial = "S0";
    runs = All(f);
    ASSERT_EQ(runs.size(), 1U);
    EXPECT_EQ(runs[0].id, made[3].id);
    f = {};
    f.serial = "T98765";  // the token's serial matches too
    EXPECT_EQ(All(f).size(), 6U);
    f = {};
    f.outcome = RunOutcome::Pass;
    runs = All(f);
    ASSERT_EQ(runs.size(), 1U);
    EXPECT_EQ(runs[0].id, made[4].id);

    // Many more rows than one fetch brings, and a reader that stops early.
    EXPECT_EQ(Sql("WITH made AS (INSERT INTO runs SELECT 'bulk-' || n, 'bulk', '', 'B' || n, '',"
                  " 'B' || n, n, n + 1, '', 'PASS', '', '', 0, 0, NULL, '', '[]', NULL, NULL"
                  " FROM generate_series(1, 1234) n RETURNING 1) SELECT count(*) FROM made"),
              "1234");
    f = {};
    f.station = "bulk";
    UtcMicros last = INT64_MAX;
    int seen = 0;
    ASSERT_TRUE(store->Query(f, [&](const RunRecord& r) {
        EXPECT_LT(r.started, last);
        last = r.started;
        ++seen;
        return true;
    })) << store->LastError();
    EXPECT_EQ(seen, 1234);
    seen = 0;
    ASSERT_TRUE(store->Query({}, [&](const RunRecord&) { return ++seen < 3; }));
    EXPECT_EQ(seen, 3);
    // The connection is usable after a reader stopped.
    EXPECT_EQ(All(f).size(), 1234U);
}

TEST_F(PgStoreTest, SummarizesYieldRetestsAndFailures) {
    const UtcMicros t = 1'797'000'000'000'000;
    auto finish = [&](const std::string& serial, RunOutcome outcome, UtcMicros started,
                      const std::string& failedStep) {
        RunRecord r = FullRecord(serial, started);
        r.tokenSerial.clear();
        r.outcome = outcome;
        r.failedStep = failedStep;
        ASSERT_TRUE(store->Finish(r)) << store->LastError();
    };
    finish("U1", RunOutcome::Pass, t, "");
    finish("U2", RunOutcome::Fail, t + 1, "keys");
    finish("U2", RunOutcome::Pass, t + 2, "");
    finish("U3", RunOutcome::Error, t + 3, "token");
    finish("", RunOutcome::Fail, t + 4, "keys");
    RunRecord begun = FullRecord("U4", t + 5);
    ASSERT_TRUE(store->Begin(begun));
    // FullRecord's keys: VOL+ missing and OK stuck, in every finished run.
    std::optional<ResultsSummary> s = store->Summarize({});
    ASSERT_TRUE(s) << store->LastError();
    EXPECT_EQ(s->runs, 6);
    EXPECT_EQ(s->units, 4);
    EXPECT_EQ(s->firstPassUnits, 1);
    EXPECT_DOUBLE_EQ(s->firstPassYield, 0.25);
    EXPECT_EQ(s->retests, 1);
    EXPECT_EQ(s->byOutcome, (std::map<std::string, std::int64_t>{
                                {"PASS", 2}, {"FAIL", 2}, {"ERROR", 1}, {"STARTED", 1}}));
    EXPECT_EQ(s->failuresByStep, (std::map<std::string, std::int64_t>{{"keys", 2}, {"token", 1}}));
    EXPECT_EQ(s->failuresByKey, (std::map<std::string, std::int64_t>{{"VOL+", 5}, {"OK", 5}}));

    RunFilter later;
    later.since = t + 2;
    s = store->Summarize(later);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->runs, 4);
    EXPECT_EQ(s->firstPassUnits, 1);  // U2's first run in the window passed
    RunFilter none;
    none.station = "nowhere";
    s = store->Summarize(none);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->runs, 0);
    EXPECT_EQ(s->firstPassYield, 0.0);
}

TEST_F(PgStoreTest, StationsConnectingFirstAtOnceMakeTheSchemaOnce) {
    std::string error;
    ASSERT_TRUE(server.CreateDatabase("fresh", &error)) << error;
    std::string url = server.StationUrl();
    url.replace(url.find("/quillon?"), 9, "/fresh?");
    constexpr std::size_t kStations = 6;
    std::vector<std::string> errors(kStations);
    std::vector<std::thread> stations;
    for (std::size_t i = 0; i < kStations; ++i) {
        stations.emplace_back([&, i] {
            std::unique_ptr<PgResultsStore> s = PgResultsStore::Connect(url, &errors[i]);
            if (s)
                errors[i].clear();
        });
    }
    for (std::thread& s : stations)
        s.join();
    for (const std::string& e : errors)
        EXPECT_EQ(e, "");
    std::string value;
    ASSERT_TRUE(server.Scalar("SELECT string_agg(version::text, ',') FROM schema_version", &value,
                              &error, "fresh"))
        << error;
    EXPECT_EQ(value, "1");

    // A schema of a later program is refused, in words.
    ASSERT_TRUE(
        server.Scalar("WITH v AS (UPDATE schema_version SET version = 7 RETURNING 1)"
                      " SELECT count(*) FROM v",
                      &value, &error, "fresh"))
        << error;
    EXPECT_EQ(PgResultsStore::Connect(url, &error), nullptr);
    EXPECT_NE(error.find("schema version 7"), std::string::npos) << error;
}

TEST_F(PgStoreTest, EveryCallEndsWithinItsBound) {
    // No server where the URL points: at once.
    std::string error;
    std::string url = server.StationUrl();
    const std::string wrongDir = server.Dir() + "/nowhere";
    url.replace(url.find(server.SocketDir()), server.SocketDir().size(), wrongDir);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(PgResultsStore::Connect(url, &error), nullptr);
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_NE(error.find(wrongDir), std::string::npos) << error;
    EXPECT_NE(error.find("database quillon"), std::string::npos) << error;

    // A socket that takes the connection and never answers: the connect timeout.
    const std::string hangDir = server.Dir() + "/hang";
    ASSERT_EQ(::mkdir(hangDir.c_str(), 0700), 0);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = hangDir + "/.s.PGSQL." + std::to_string(server.Port());
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    url = server.StationUrl();
    url.replace(url.find(server.SocketDir()), server.SocketDir().size(), hangDir);
    start = Clock::now();
    EXPECT_EQ(PgResultsStore::Connect(url + "&connect_timeout=1", &error), nullptr);
    EXPECT_LT(Clock::now() - start, 4s);
    EXPECT_NE(error.find("no answer within 1 s"), std::string::npos) << error;
    ::close(listener);

    // A server that stops answering mid-call: cancelled, closed, and said so.
    store.reset();
    store = PgResultsStore::Connect(server.StationUrl(), &error, 1000ms);
    ASSERT_NE(store, nullptr) << error;
    std::string backend;
    ASSERT_TRUE(
        server.Scalar("SELECT pid FROM pg_stat_activity WHERE usename = 'station'"
                      " ORDER BY backend_start DESC LIMIT 1",
                      &backend, &error))
        << error;
    const pid_t pid = std::stoi(backend);
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    RunRecord record = FullRecord();
    start = Clock::now();
    const bool finished = store->Finish(record);
    const auto took = Clock::now() - start;
    ::kill(pid, SIGCONT);
    EXPECT_FALSE(finished);
    EXPECT_LT(took, 4s);
    EXPECT_NE(store->LastError().find("no answer within 1 s"), std::string::npos)
        << store->LastError();
    EXPECT_FALSE(store->Connected());
    EXPECT_FALSE(store->Query({}, [](const RunRecord&) { return true; }));
    EXPECT_NE(store->LastError().find("connect again"), std::string::npos) << store->LastError();
    EXPECT_EQ(Sql("SELECT count(*) FROM runs"), "0");
}

TEST_F(PgStoreTest, NeverShowsThePassword) {
    // Read from the password file: a stopped server's errors do not carry it.
    std::string error;
    ASSERT_TRUE(server.Stop(&error)) << error;
    RunRecord record = FullRecord();
    EXPECT_FALSE(store->Finish(record));
    EXPECT_FALSE(store->Connected());
    ExpectNoPassword(store->LastError());
    EXPECT_NE(store->LastError().find("database quillon"), std::string::npos) << store->LastError();
    EXPECT_EQ(PgResultsStore::Connect(server.StationUrl(), &error), nullptr);
    ExpectNoPassword(error);
    ASSERT_TRUE(server.Start(&error)) << error;

    // Given in the URL instead, right or wrong, percent-encoded or not.
    ::setenv("PGPASSFILE", "/nonexistent", 1);
    const std::string url = server.StationUrl();
    store = PgResultsStore::Connect(url + "&password=" + server.Password(), &error);
    ASSERT_NE(store, nullptr) << error;
    ASSERT_TRUE(server.Stop(&error)) << error;
    EXPECT_FALSE(store->Begin(record));
    EXPECT_FALSE(store->LastError().empty());
    ExpectNoPassword(store->LastError());
    ASSERT_TRUE(server.Start(&error)) << error;

    EXPECT_EQ(PgResultsStore::Connect(url + "&password=wrong" + server.Password(), &error),
              nullptr);
    EXPECT_NE(error.find("password authentication failed"), std::string::npos) << error;
    ExpectNoPassword(error);
    const std::string inUserInfo = "postgresql://station:" + server.Password() + "%zz@/quillon";
    EXPECT_EQ(PgResultsStore::Connect(inUserInfo, &error), nullptr);
    EXPECT_NE(error.find("not a PostgreSQL URL"), std::string::npos) << error;
    ExpectNoPassword(error);
    EXPECT_EQ(PgResultsStore::Connect("host=x password='" + server.Password(), &error), nullptr);
    ExpectNoPassword(error);
}

}  // namespace
