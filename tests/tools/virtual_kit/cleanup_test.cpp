// However a process holding the virtual kit ends, the simulator it started ends too
// and the kit's temporary tree goes.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kBound = 5s;

bool Ended(int pidfd, std::chrono::milliseconds timeout) {
    pollfd p{pidfd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(timeout.count())) == 1;
}

bool GoneWithin(const fs::path& path, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (fs::exists(path)) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(10ms);  // polls a condition no descriptor reports
    }
    return true;
}

class KitCleanup : public ::testing::TestWithParam<int> {};

TEST_P(KitCleanup, SimulatorAndTreeGoWithTheProcess) {
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    char* argv[] = {const_cast<char*>(QUILLON_KIT_HOLDER), const_cast<char*>(QUILLON_TOKEN_SIM),
                    nullptr};
    pid_t holder = -1;
    ASSERT_EQ(posix_spawn(&holder, argv[0], &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string line;
    char c = 0;
    while (read(out[0], &c, 1) == 1 && c != '\n')
        line.push_back(c);
    close(out[0]);
    std::istringstream fields(line);
    std::string tree;
    int simulator = 0;
    fields >> tree >> simulator;
    ASSERT_TRUE(fs::is_directory(tree)) << line;
    ASSERT_GT(simulator, 0) << line;
    const int simFd = static_cast<int>(syscall(SYS_pidfd_open, simulator, 0));
    ASSERT_GE(simFd, 0);
    ASSERT_FALSE(Ended(simFd, 0ms));

    kill(holder, GetParam());
    int status = 0;
    waitpid(holder, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == GetParam());

    EXPECT_TRUE(Ended(simFd, kBound)) << "the simulator outlived the process that started it";
    close(simFd);
    // The whole folder of that process, not just the kit's tree in it.
    EXPECT_TRUE(GoneWithin(fs::path(tree).parent_path(), kBound)) << tree << " was left behind";
}

INSTANTIATE_TEST_SUITE_P(WaysOut, KitCleanup, ::testing::Values(SIGINT, SIGTERM, SIGKILL),
                         [](const ::testing::TestParamInfo<int>& param) {
                             return std::string(sigabbrev_np(param.param));
                         });

}  // namespace
