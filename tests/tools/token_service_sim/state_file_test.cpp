#include "tools/token_service_sim/state_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools/token_service_sim/token_service.h"

namespace quillon::tokensim {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<fs::path> DirectoryEntries(const fs::path& dir) {
    std::vector<fs::path> entries;
    for (const auto& e : fs::directory_iterator(dir)) {
        entries.push_back(e.path().filename());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

class StateFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/token_sim_state_XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        dir = templ;
        path = (dir / "tokens.state").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
    std::string path;
};

TEST_F(StateFileTest, AbsentFileIsCreatedWithTheDemoTokenAndReadBack) {
    TokenTable tokens;
    std::string error;
    ASSERT_EQ(LoadStateFile(path, tokens, error), LoadOutcome::Created) << error;
    EXPECT_EQ(tokens, DemoTokenTable());

    tokens.begin()->second.drift = 12;
    tokens.begin()->second.lastAccepted = 1234;
    ASSERT_TRUE(SaveStateFile(path, tokens, error)) << error;
    TokenTable reread;
    ASSERT_EQ(LoadStateFile(path, reread, error), LoadOutcome::Loaded) << error;
    EXPECT_EQ(reread, tokens);
    EXPECT_EQ(DirectoryEntries(dir), std::vector<fs::path>{"tokens.state"});
}

TEST_F(StateFileTest, MalformedFileIsRefusedNamedAndLeftAlone) {
    const std::string garbage = "quillon-token-sim-state 1\ntoken 123456789 nothex 0 - free\n";
    WriteText(path, garbage);
    TokenTable tokens;
    std::string error;
    EXPECT_EQ(LoadStateFile(path, tokens, error), LoadOutcome::Failed);
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_NE(error.find("line 2"), std::string::npos) << error;
    EXPECT_EQ(ReadAll(path), garbage);
}

TEST_F(StateFileTest, UnreadablePathFails) {
    fs::create_directory(path);
    TokenTable tokens;
    std::string error;
    EXPECT_EQ(LoadStateFile(path, tokens, error), LoadOutcome::Failed);
    EXPECT_FALSE(error.empty());
}

TEST_F(StateFileTest, LeftoverTemporaryFileOfACrashedWriteIsIgnored) {
    std::string error;
    ASSERT_TRUE(SaveStateFile(path, DemoTokenTable(), error)) << error;
    const fs::path leftover = dir / "tokens.state.tmp.abc123";
    WriteText(leftover, "quillon-token-sim-state 1\ntoken 1234");  // torn

    TokenTable tokens;
    ASSERT_EQ(LoadStateFile(path, tokens, error), LoadOutcome::Loaded) << error;
    EXPECT_EQ(tokens, DemoTokenTable());
    tokens.begin()->second.bound = true;
    ASSERT_TRUE(SaveStateFile(path, tokens, error)) << error;
    TokenTable reread;
    ASSERT_EQ(LoadStateFile(path, reread, error), LoadOutcome::Loaded) << error;
    EXPECT_TRUE(reread.begin()->second.bound);
}

TEST_F(StateFileTest, FailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
    std::string error;
    ASSERT_TRUE(SaveStateFile(path, DemoTokenTable(), error)) << error;
    const std::string before = ReadAll(path);

    // A file-size limit makes the write itself fail half-way (EFBIG), even for root.
    TokenTable big = DemoTokenTable();
    for (int i = 0; i < 200; ++i) {
        Token t;
        t.secret = std::vector<std::uint8_t>(64, 0xAB);
        big.emplace(std::to_string(100000000 + i), t);
    }
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = before.size() + 10;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool saved = SaveStateFile(path, big, error);
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(saved);
    EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
    EXPECT_EQ(ReadAll(path), before);
    EXPECT_EQ(DirectoryEntries(dir), std::vector<fs::path>{"tokens.state"});
}

class FixedTime final : public TimeSource {
public:
    explicit FixedTime(std::int64_t t) : now(t) {}
    std::int64_t NowUnixSeconds() const override { return now; }
    std::int64_t now;
};

TEST_F(StateFileTest, ServiceStoresAcceptedChangesAndAnswersNothingWhenItCannot) {
    FixedTime clock(1'700'000'015);
    const auto secret = *DecodeHex(kDemoSecretHex);
    ReviseEkeyRequest request{std::string(kDemoSerial), PasswordAt(secret, clock.now),
                              PasswordAt(secret, clock.now)};
    {
        TokenService service(path, DemoTokenTable(), clock);
        const auto answer = service.ReviseEkey(request);
        ASSERT_EQ(answer.result, RESULT_OK) << answer.error;
        TokenTable onDisk;
        std::string error;
        ASSERT_EQ(LoadStateFile(path, onDisk, error), LoadOutcome::Loaded) << error;
        EXPECT_EQ(onDisk, service.Tokens());
        EXPECT_EQ(service.ReviseEkey(request).result, RESULT_REPLAYED_PASSWORD);
    }
    {
        // The state directory is gone: the check passes but cannot be stored.
        const std::string lost = (dir / "missing" / "tokens.state").string();
        TokenService service(lost, DemoTokenTable(), clock);
        const auto answer = service.ReviseEkey(request);
        EXPECT_FALSE(answer.result);
        EXPECT_NE(answer.error.find("not saved"), std::string::npos) << answer.error;
        EXPECT_EQ(service.Tokens(), DemoTokenTable());
    }
}

}  // namespace
}  // namespace quillon::tokensim
