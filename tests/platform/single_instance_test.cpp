#include "platform/single_instance.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace {

// Unique per test process, so parallel test runs do not see each other's locks.
std::string TestName(const char* what) {
    return std::string("quillon-test-") + what + "-" + std::to_string(getpid());
}

// Runs `body` in a forked child and returns its exit code.
template <typename Body>
int InChild(Body body) {
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SingleInstanceLock, SecondHolderIsRefusedInThisAndOtherProcesses) {
    const std::string name = TestName("second");
    SingleInstanceLock first(name);
    EXPECT_FALSE(first.AlreadyRunning());
    EXPECT_EQ(first.LastError(), 0);

    {
        SingleInstanceLock second(name);
        EXPECT_TRUE(second.AlreadyRunning());
        EXPECT_EQ(second.LastError(), 183);
    }
    // The refused copy going away leaves the first one's hold intact.
    EXPECT_TRUE(SingleInstanceLock(name).AlreadyRunning());

    EXPECT_EQ(InChild([&] { return SingleInstanceLock(name).LastError() == 183 ? 0 : 1; }), 0);
}

TEST(SingleInstanceLock, NameIsFreedWhenTheHolderEnds) {
    const std::string name = TestName("freed");
    {
        SingleInstanceLock held(name);
        ASSERT_FALSE(held.AlreadyRunning());
    }
    EXPECT_FALSE(SingleInstanceLock(name).AlreadyRunning());

    // A holder killed outright leaves no stale lock behind.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        SingleInstanceLock held(name);
        const char ok = held.AlreadyRunning() ? 'n' : 'y';
        if (write(ready[1], &ok, 1) != 1) {
            _exit(1);
        }
        pause();
        _exit(0);
    }
    close(ready[1]);
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    close(ready[0]);
    ASSERT_EQ(ok, 'y');
    EXPECT_TRUE(SingleInstanceLock(name).AlreadyRunning());

    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_FALSE(SingleInstanceLock(name).AlreadyRunning());
}

TEST(SingleInstanceLock, SuffixSeparatesHolders) {
    const std::string name = TestName("suffix");
    SingleInstanceLock a(name, "1000");
    SingleInstanceLock b(name, "1001");
    SingleInstanceLock user(name);
    EXPECT_FALSE(a.AlreadyRunning());
    EXPECT_FALSE(b.AlreadyRunning());
    EXPECT_EQ(user.AlreadyRunning(), std::to_string(getuid()) == "1000");
    EXPECT_TRUE(SingleInstanceLock(name, "1001").AlreadyRunning());
    // Another name with this one as its prefix is a different name.
    EXPECT_FALSE(SingleInstanceLock(name + "x", "1001").AlreadyRunning());
}

TEST(SingleInstanceLock, OverlongNameIsAnErrorNotARefusal) {
    SingleInstanceLock lock(std::string(200, 'q'));
    EXPECT_FALSE(lock.AlreadyRunning());
    EXPECT_NE(lock.LastError(), 0);
}

}  // namespace
