// quillonctl test and results on a line's shared PostgreSQL database: a real server the
// test starts itself, stopped in the middle of a run and started again.

#include "tests/ctl/eol_fixture.h"
#include "tests/support/pg_server.h"

namespace {

using namespace eoltest;

class EolPgTest : public EolTest {
protected:
    void SetUp() override {
        EolTest::SetUp();
        std::string error;
        ASSERT_TRUE(server.Start(&error)) << error;
        m_extraEnv = {"PGPASSFILE=" + server.PasswordFile()};
        db = "--db=" + server.StationUrl();
    }
    std::string Runs() {
        std::string count;
        std::string error;
        EXPECT_TRUE(server.Scalar("SELECT count(*) FROM runs", &count, &error)) << error;
        return count;
    }
    // One run of key 5 and the token, to its end (the token's first password).
    Json PassingRun() {
        auto run = Test({db, "--keys", "5"});
        WaitForReceivers();
        remote->Press(53);
        WaitForTokenStep(*run);
        remote->PressTokenKey();
        EXPECT_EQ(run->Exit(kBound), 0) << run->Err().Text();
        return RecordOf(*run);
    }

    PgServer server;
    std::string db;
};

// A record reaches the shared database; one finished while the server is down waits in
// the local store, is sent once when it answers again, and never twice.
TEST_F(EolPgTest, ARecordWaitsWhileTheServerIsDownAndIsDeliveredOnce) {
    ASSERT_TRUE(StartSimulator());
    EXPECT_EQ(PassingRun()["outcome"], "PASS");
    EXPECT_EQ(Runs(), "1");

    auto run = Test({db, "--keys", "5"});
    WaitForReceivers();
    std::string error;
    ASSERT_TRUE(server.Stop(&error)) << error;  // between the run's start and its end
    remote->Press(53);
    WaitForTokenStep(*run);
    clock += 30;  // the next password: the service takes each one once
    remote->PressTokenKey();
    EXPECT_EQ(run->Exit(kBound), 0) << run->Err().Text() << run->Out().Text();
    const Json waiting = RecordOf(*run);
    EXPECT_EQ(waiting["outcome"], "PASS");

    auto down = Ctl({"results", db, "--flush"});
    EXPECT_EQ(down->Exit(kBound), 7);
    EXPECT_NE(down->Out().Text().find("1 waiting"), std::string::npos) << down->Out().Text();

    ASSERT_TRUE(server.Start(&error)) << error;
    auto flush = Ctl({"results", db, "--flush", "--json"});
    EXPECT_EQ(flush->Exit(kBound), 0) << flush->Err().Text();
    const Json sent = Json::parse(flush->Out().Text());
    EXPECT_EQ(sent["delivered"], 1);
    EXPECT_EQ(sent["waiting"], 0);
    EXPECT_EQ(Runs(), "2");
    auto again = Ctl({"results", db, "--flush", "--json"});
    EXPECT_EQ(again->Exit(kBound), 0);
    EXPECT_EQ(Json::parse(again->Out().Text())["delivered"], 0);
    EXPECT_EQ(Runs(), "2");

    // The shared database lists both, the waiting one as it was finished.
    auto listed = Ctl({"results", db, "--format", "json"});
    EXPECT_EQ(listed->Exit(kBound), 0) << listed->Err().Text();
    const auto lines = listed->Out().Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Json::parse(lines[0])["id"], waiting["id"]);
    EXPECT_EQ(Json::parse(lines[0])["retest"], 1);
}

// A password in the URL is refused before anything is opened, without repeating it.
TEST_F(EolPgTest, APasswordInTheUrlIsRefusedAndNeverShown) {
    const std::string url = "--db=postgresql://station:" + server.Password() + "@localhost/quillon";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"results", url}, {"test", url, "--serial", "1"}}) {
        auto refused = Ctl(args);
        EXPECT_EQ(refused->Exit(kBound), 1);
        EXPECT_NE(refused->Err().Text().find("password file"), std::string::npos)
            << refused->Err().Text();
        EXPECT_EQ(refused->Err().Text().find(server.Password()), std::string::npos);
        EXPECT_EQ(refused->Out().Text().find(server.Password()), std::string::npos);
    }
}

}  // namespace
