#include "platform/process/temp_tree.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>

extern char** environ;

namespace fs = std::filesystem;

namespace {

// The janitor's write end; never closed by us, so only the process's end closes it.
int g_lifeline = -1;

void StartJanitor(const std::string& folder) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // Holding none of our other descriptors: a socket or pipe end kept open by the
    // janitor would hide a hang-up from whoever waits for it.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // Its own process group, so a Ctrl-C meant for us does not end it first.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    const std::string script = "cat >/dev/null; rm -rf -- \"$1\"";
    char* argv[] = {const_cast<char*>("/bin/sh"),      const_cast<char*>("-c"),
                    const_cast<char*>(script.c_str()), const_cast<char*>("quillon-janitor"),
                    const_cast<char*>(folder.c_str()), nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[0]);
    if (spawned != 0) {
        ::close(fds[1]);
        return;
    }
    g_lifeline = fds[1];
}

const std::string& ProcessFolder() {
    static std::once_flag once;
    static std::string folder;
    std::call_once(once, [] {
        std::string templ =
            (fs::temp_directory_path() / ("quillon-kit-" + std::to_string(::getpid()) + "-XXXXXX"))
                .string();
        if (::mkdtemp(templ.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed for " + templ);
        folder = templ;
        StartJanitor(folder);
    });
    return folder;
}

}  // namespace

std::string MakeTempTree(const std::string& prefix) {
    std::string templ = ProcessFolder() + "/" + prefix + "XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed for " + templ);
    return templ;
}
