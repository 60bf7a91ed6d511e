#pragma once

// Who holds a device node: the flock(), POSIX and open-file-description locks that
// /proc/locks lists on the node's inode, with each holder's command name. Read-only
// and best effort: a holder that has gone since is still listed, with no name. A
// served node's holders and openers are those of its lock file (ServedNodeLockPath).

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct LockEntry {
    std::string kind;  // FLOCK, POSIX, OFDLCK
    bool write = false;
    pid_t pid = -1;  // -1 for open-file-description locks, which have no owner
    unsigned major = 0;
    unsigned minor = 0;
    unsigned long long inode = 0;
};

// Parses the text of /proc/locks; waiters ("->") and lines it cannot read are left
// out.
std::vector<LockEntry> ParseProcLocks(std::string_view text);

struct NodeHolder {
    pid_t pid = -1;
    std::string command;  // from /proc/<pid>/comm, "" when it cannot be read
    std::string kind;
};

// The holders of `path`'s inode. `procRoot` is "/proc" but for tests.
std::vector<NodeHolder> FindNodeHolders(const std::string& path,
                                        const std::string& procRoot = "/proc");

// Processes that have `path`'s inode open, lock or not, from /proc/<pid>/fd: those
// of other users only where this process may look. This process is left out.
// `kind` is "open".
std::vector<NodeHolder> FindNodeOpeners(const std::string& path,
                                        const std::string& procRoot = "/proc");

// The command name of a process, "" when it cannot be read.
std::string ProcessCommand(pid_t pid, const std::string& procRoot = "/proc");
