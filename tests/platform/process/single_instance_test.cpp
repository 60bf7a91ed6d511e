#include "platform/process/single_instance.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A holder's word normally takes milliseconds; generous for sanitizer builds.
constexpr auto kWordBound = 10s;
// What a copy facing a full queue may take: the probe's bound and a margin.
constexpr auto kPromptWord = kInstanceProbeWait + 2s;

// Unique per test process, so parallel test runs do not see each other's locks.
std::string TestName(const char* what) {
    return std::string("quillon-test-") + what + "-" + std::to_string(getpid());
}

// A runtime directory as the session manager makes it: this user's, mode 0700.
class RuntimeDir {
public:
    explicit RuntimeDir(mode_t mode = 0700) {
        std::string templ = (fs::temp_directory_path() / "quillon-run-XXXXXX").string();
        EXPECT_NE(mkdtemp(templ.data()), nullptr);
        m_path = templ;
        chmod(m_path.c_str(), mode);
    }
    ~RuntimeDir() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// instance_holder in a process of its own; it holds what it took until destroyed.
class Holder {
public:
    explicit Holder(std::vector<std::string> args) {
        m_started = Clock::now();
        int in[2], out[2];
        EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        EXPECT_EQ(posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        m_stdin = in[1];
        // Bounded, so a holder that hangs in its lock fails the test instead of
        // stalling it; it then says nothing.
        const auto deadline = Clock::now() + kWordBound;
        char c = 0;
        pollfd ready{out[0], POLLIN, 0};
        while (Clock::now() < deadline &&
               poll(&ready, 1,
                    static_cast<int>(
                        std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now())
                            .count())) == 1 &&
               read(out[0], &c, 1) == 1 && c != '\n')
            m_word.push_back(c);
        m_took = Clock::now() - m_started;
        close(out[0]);
    }
    ~Holder() { End(); }
    // What the holder said it did; empty when it said nothing within kWordBound.
    const std::string& Word() const { return m_word; }
    // From its start to its word.
    Clock::duration Took() const { return m_took; }
    void Kill() {
        if (m_pid > 0)
            kill(m_pid, SIGKILL);
        End();
    }

private:
    void End() {
        if (m_pid > 0 && m_word.empty())
            kill(m_pid, SIGKILL);
        if (m_stdin >= 0) {
            close(m_stdin);
            m_stdin = -1;
        }
        if (m_pid > 0) {
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }
    pid_t m_pid = -1;
    int m_stdin = -1;
    std::string m_word;
    Clock::time_point m_started;
    Clock::duration m_took{};
};

std::vector<std::string> Lock(const std::string& name, const std::string& dir) {
    return {QUILLON_INSTANCE_HOLDER, "lock", name, dir};
}

TEST(SingleInstanceLock, SecondCopyOfThisUserIsRefusedWhicheverWayItLooks) {
    const std::string name = TestName("second");
    RuntimeDir run;
    SingleInstanceLock first(name, run.Path());
    EXPECT_FALSE(first.AlreadyRunning());
    EXPECT_EQ(first.ErrorCode(), 0);
    EXPECT_EQ(first.LastError(), "");
    EXPECT_TRUE(fs::exists(run.Path() + "/" + name + ".lock"));

    {
        SingleInstanceLock second(name, run.Path());
        EXPECT_TRUE(second.AlreadyRunning());
        EXPECT_EQ(second.ErrorCode(), 183);
        EXPECT_EQ(second.LastError(), "another copy holds the lock");
    }
    // The refused copy going away leaves the first one's hold intact.
    EXPECT_TRUE(SingleInstanceLock(name, run.Path()).AlreadyRunning());
    EXPECT_EQ(Holder(Lock(name, run.Path())).Word(), "refused");
    // A copy started without the runtime directory finds the socket name.
    EXPECT_EQ(Holder(Lock(name, "")).Word(), "refused");
}

// Every refused copy leaves its probe in the holder's queue unless the holder takes it
// off; without a runtime directory the probe is all a copy has, so a full queue made
// later copies wait for ever. Many in a row are each refused promptly.
TEST(SingleInstanceLock, ManyRefusedCopiesInARowAreEachRefusedPromptly) {
    const std::string name = TestName("many");
    Holder holder(Lock(name, ""));
    ASSERT_EQ(holder.Word(), "held");
    for (int copy = 1; copy <= 24; ++copy) {
        Holder refused(Lock(name, ""));
        ASSERT_EQ(refused.Word(), "refused") << "copy " << copy;
        EXPECT_LT(refused.Took(), kPromptWord) << "copy " << copy;
    }
}

TEST(SingleInstanceLock, LockIsFreedWhenTheHolderEnds) {
    const std::string name = TestName("freed");
    RuntimeDir run;
    {
        SingleInstanceLock held(name, run.Path());
        ASSERT_EQ(held.ErrorCode(), 0);
    }
    EXPECT_EQ(SingleInstanceLock(name, run.Path()).ErrorCode(), 0);

    // A holder killed outright leaves no stale lock behind, file or name.
    Holder holder(Lock(name, run.Path()));
    ASSERT_EQ(holder.Word(), "held");
    EXPECT_TRUE(SingleInstanceLock(name, run.Path()).AlreadyRunning());
    EXPECT_TRUE(SingleInstanceLock(name, "").AlreadyRunning());
    holder.Kill();
    EXPECT_EQ(SingleInstanceLock(name, run.Path()).ErrorCode(), 0);
    EXPECT_EQ(SingleInstanceLock(name, "").ErrorCode(), 0);
}

// Another user binds this user's socket name and tries the lock file: this user
// still starts, and a second copy of this user is still refused.
TEST(SingleInstanceLock, AnotherUserCannotLockThisUserOut) {
    if (access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "setpriv (util-linux) is not installed";
    if (system("/usr/bin/setpriv --reuid=nobody --regid=nogroup --clear-groups true "
               ">/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "cannot run a process as nobody here (needs root)";
    }
    const std::string name = TestName("squat");
    RuntimeDir run;
    Holder squatter({"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                     QUILLON_INSTANCE_HOLDER, "squat", name, std::to_string(getuid()), run.Path()});
    ASSERT_EQ(squatter.Word(), "squatting");

    SingleInstanceLock mine(name, run.Path());
    EXPECT_FALSE(mine.AlreadyRunning());
    EXPECT_EQ(mine.ErrorCode(), 0);
    EXPECT_TRUE(SingleInstanceLock(name, run.Path()).AlreadyRunning());

    // Without a runtime directory the squatter is not taken for a copy either; the
    // program runs on without a lock.
    SingleInstanceLock squatted(name, "");
    EXPECT_FALSE(squatted.AlreadyRunning());
    EXPECT_EQ(squatted.ErrorCode(), EADDRINUSE);
    EXPECT_EQ(squatted.LastError(), std::strerror(EADDRINUSE));
}

// Whoever sits on the name with a queue that is full and never accepted (backlog 0)
// cannot make a copy wait: it counts as a holder that does not answer. As another
// user, and as this user (some other program, or a copy that is stopped).
TEST(SingleInstanceLock, SquatterWithAFullQueueMakesNoCopyWait) {
    const std::string name = TestName("full");
    const bool asNobody = access("/usr/bin/setpriv", X_OK) == 0 &&
                          system(
                              "/usr/bin/setpriv --reuid=nobody --regid=nogroup --clear-groups "
                              "true >/dev/null 2>&1") == 0;
    std::vector<std::vector<std::string>> squatters = {
        {QUILLON_INSTANCE_HOLDER, "squat", name, std::to_string(getuid()), "/nonexistent", "full"}};
    if (asNobody) {
        squatters.push_back({"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                             "--clear-groups", QUILLON_INSTANCE_HOLDER, "squat", name,
                             std::to_string(getuid()), "/nonexistent", "full"});
    } else {
        std::printf("as another user: skipped, cannot run a process as nobody here\n");
    }
    for (const auto& args : squatters) {
        SCOPED_TRACE(args.front());
        RuntimeDir run;
        Holder squatter(args);
        ASSERT_EQ(squatter.Word(), "squatting");
        for (const std::string& dir : {run.Path(), std::string()}) {
            Holder copy(Lock(name, dir));
            // With the runtime directory the file is the lock; without it, no lock.
            EXPECT_EQ(copy.Word(), dir.empty() ? "error " + std::to_string(EADDRINUSE) : "held")
                << "runtime directory '" << dir << "'";
            EXPECT_LT(copy.Took(), kPromptWord);
        }
    }
}

TEST(SingleInstanceLock, RuntimeDirOthersMayEnterIsNotTrusted) {
    const std::string name = TestName("shared");
    RuntimeDir shared(0777);
    SingleInstanceLock lock(name, shared.Path());
    EXPECT_EQ(lock.ErrorCode(), 0);  // through the socket name alone
    EXPECT_FALSE(fs::exists(shared.Path() + "/" + name + ".lock"));
    EXPECT_TRUE(SingleInstanceLock(name, "").AlreadyRunning());
}

TEST(SingleInstanceLock, OverlongNameIsAnErrorNotARefusal) {
    SingleInstanceLock lock(std::string(200, 'q'), "");
    EXPECT_FALSE(lock.AlreadyRunning());
    EXPECT_NE(lock.ErrorCode(), 0);
}

}  // namespace
