// The spooling store over a local store in memory and a real PostgreSQL server that
// the tests stop and start again.

#include "station/spooling_store.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>

#include "station/results_store_pg.h"
#include "tests/station/memory_store.h"
#include "tests/station/station_records.h"
#include "tests/support/pg_server.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

class SpoolingStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("PGPASSFILE", server.PasswordFile().c_str(), 1);
        ::unsetenv("PGPASSWORD");
        std::string error;
        ASSERT_TRUE(server.Start(&error)) << error;
        url = server.StationUrl();
    }

    std::unique_ptr<SpoolingResultsStore> Spooling(std::chrono::milliseconds pause = 0ms) {
        return std::make_unique<SpoolingResultsStore>(
            local, local,
            [this](std::string* error) -> std::unique_ptr<ResultsStore> {
                ++connects;
                return PgResultsStore::Connect(url, error, 2000ms);
            },
            pause);
    }

    std::string Sql(const std::string& sql) {
        std::string value, error;
        EXPECT_TRUE(server.Scalar(sql, &value, &error)) << error;
        return value;
    }

    void StopServer() {
        std::string error;
        ASSERT_TRUE(server.Stop(&error)) << error;
    }
    void StartServer() {
        std::string error;
        ASSERT_TRUE(server.Start(&error)) << error;
    }

    void ExpectNoPassword(const std::string& text) {
        EXPECT_EQ(text.find(server.Password()), std::string::npos) << text;
    }

    PgServer server;
    MemoryStore local;
    std::string url;
    int connects = 0;
};

TEST_F(SpoolingStoreTest, KeepsEachRunLocallyAndInTheSharedStore) {
    auto store = Spooling();
    RunRecord first = FullRecord("U1");
    ASSERT_TRUE(store->Begin(first)) << store->LastError();
    EXPECT_EQ(store->SharedProblem(), "");
    EXPECT_EQ(Sql("SELECT outcome FROM runs"), "STARTED");
    ASSERT_TRUE(store->Finish(first)) << store->LastError();
    EXPECT_FALSE(store->Spooled());
    RunRecord second = FullRecord("U1", first.started + 1);
    ASSERT_TRUE(store->Begin(second));
    ASSERT_TRUE(store->Finish(second));
    EXPECT_EQ(second.retest, 1);

    EXPECT_EQ(local.Runs().size(), 2U);
    EXPECT_TRUE(local.PendingIds().empty());
    EXPECT_EQ(Sql("SELECT count(*) FROM runs WHERE outcome = 'FAIL'"), "2");
    EXPECT_EQ(connects, 1);
    std::vector<std::string> ids;
    ASSERT_TRUE(store->Query({}, [&](const RunRecord& r) {
        ids.push_back(r.id);
        return true;
    })) << store->LastError();
    EXPECT_EQ(ids, (std::vector<std::string>{second.id, first.id}));
    const std::optional<ResultsSummary> summary = store->Summarize({});
    ASSERT_TRUE(summary) << store->LastError();
    EXPECT_EQ(summary->runs, 2);
}

TEST_F(SpoolingStoreTest, SpoolsWhenTheServerStopsMidRunAndDeliversOnceItIsBack) {
    auto store = Spooling();
    RunRecord record = FullRecord("U2");
    ASSERT_TRUE(store->Begin(record)) << store->LastError();
    StopServer();

    ASSERT_TRUE(store->Finish(record)) << store->LastError();
    EXPECT_TRUE(store->Spooled());
    EXPECT_FALSE(store->SharedProblem().empty());
    ExpectNoPassword(store->SharedProblem());
    EXPECT_EQ(local.PendingIds(), std::vector<std::string>{record.id});
    EXPECT_EQ(RunOutcomeKey(local.Runs().at(0).outcome), "FAIL");
    EXPECT_EQ(local.whys.at(0), store->SharedProblem());

    int delivered = -1, left = -1;
    EXPECT_FALSE(store->Flush(&delivered, &left));
    EXPECT_EQ(delivered, 0);
    EXPECT_EQ(left, 1);
    EXPECT_NE(store->LastError().find("1 run(s) wait"), std::string::npos) << store->LastError();
    ExpectNoPassword(store->LastError());
    EXPECT_FALSE(store->Query({}, [](const RunRecord&) { return true; }));
    EXPECT_NE(store->LastError().find("cannot be reached"), std::string::npos)
        << store->LastError();
    EXPECT_FALSE(store->Summarize({}));

    StartServer();
    ASSERT_TRUE(store->Flush(&delivered, &left)) << store->LastError();
    EXPECT_EQ(delivered, 1);
    EXPECT_EQ(left, 0);
    EXPECT_EQ(Sql("SELECT count(*) FROM runs"), "1");
    EXPECT_EQ(Sql("SELECT outcome FROM runs WHERE id = '" + record.id + "'"), "FAIL");
    EXPECT_EQ(Sql("SELECT count(*) FROM keys"), "3");
    EXPECT_EQ(Sql("SELECT count(*) FROM service_calls"), "2");

    // Nothing waits: nothing is sent, and no connection is made for it.
    const int before = connects;
    ASSERT_TRUE(store->Flush(&delivered, &left));
    EXPECT_EQ(delivered, 0);
    EXPECT_EQ(left, 0);
    EXPECT_EQ(connects, before);
    EXPECT_EQ(Sql("SELECT count(*) FROM runs"), "1");
}

TEST_F(SpoolingStoreTest, ARecordSentButNotMarkedDeliveredIsKeptOnce) {
    auto store = Spooling();
    StopServer();
    RunRecord record = FullRecord("U3");
    ASSERT_TRUE(store->Begin(record));
    ASSERT_TRUE(store->Finish(record));
    ASSERT_TRUE(store->Spooled());
    StartServer();

    local.failDelivered = 1;  // as if the station died right after sending
    int delivered = -1, left = -1;
    EXPECT_FALSE(store->Flush(&delivered, &left));
    EXPECT_EQ(delivered, 0);
    EXPECT_EQ(left, 1);
    EXPECT_NE(store->LastError().find("marked delivered"), std::string::npos) << store->LastError();
    ASSERT_TRUE(store->Flush(&delivered, &left)) << store->LastError();
    EXPECT_EQ(delivered, 1);
    EXPECT_EQ(left, 0);
    EXPECT_EQ(Sql("SELECT count(*) FROM runs"), "1");
    EXPECT_EQ(Sql("SELECT count(*) FROM keys"), "3");
    EXPECT_EQ(Sql("SELECT count(*) FROM steps"), "3");
}

TEST_F(SpoolingStoreTest, FlushesOldestFirstAndStopsAtTheFirstThatFails) {
    auto store = Spooling();
    StopServer();
    std::vector<RunRecord> runs;
    for (const std::string& serial :
         {std::string("U4"), std::string("bad\xff"), std::string("U5")}) {
        RunRecord r = FullRecord(serial);
        ASSERT_TRUE(store->Begin(r));
        ASSERT_TRUE(store->Finish(r)) << store->LastError();
        ASSERT_TRUE(store->Spooled());
        runs.push_back(r);
    }
    StartServer();
    int delivered = -1, left = -1;
    EXPECT_FALSE(store->Flush(&delivered, &left));
    EXPECT_EQ(delivered, 1);
    EXPECT_EQ(left, 2);
    EXPECT_NE(store->LastError().find("run " + runs[1].id), std::string::npos)
        << store->LastError();
    EXPECT_NE(store->LastError().find("label serial"), std::string::npos) << store->LastError();
    EXPECT_EQ(Sql("SELECT string_agg(label_serial, ',') FROM runs"), "U4");
    EXPECT_EQ(local.PendingIds(), (std::vector<std::string>{runs[1].id, runs[2].id}));
}

TEST_F(SpoolingStoreTest, AnUnreachableServerCostsARunOneBoundedAttempt) {
    url.replace(url.find(server.SocketDir()), server.SocketDir().size(), server.Dir() + "/gone");
    auto store = Spooling(1h);
    const Clock::time_point start = Clock::now();
    int delivered = -1, left = -1;
    ASSERT_TRUE(store->Flush(&delivered, &left));  // nothing waits yet
    RunRecord record = FullRecord("U6");
    ASSERT_TRUE(store->Begin(record)) << store->LastError();
    EXPECT_NE(store->SharedProblem().find("/gone"), std::string::npos) << store->SharedProblem();
    ASSERT_TRUE(store->Finish(record)) << store->LastError();
    EXPECT_TRUE(store->Spooled());
    EXPECT_FALSE(store->Flush(&delivered, &left));
    EXPECT_EQ(left, 1);
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(connects, 1);
    EXPECT_EQ(local.Runs().size(), 1U);
}

}  // namespace
