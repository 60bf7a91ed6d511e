#include "platform/hid/node_holders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <charconv>
#include <sstream>

#include "platform/hid/hid_device.h"
#include "platform/process/small_file.h"

namespace {

template <typename T>
bool ParseNumber(std::string_view text, T& value, int base = 10) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc{} && end == text.data() + text.size();
}

// "maj:min:inode", the first two in hex.
bool ParseDeviceInode(std::string_view text, LockEntry& entry) {
    const std::size_t first = text.find(':');
    const std::size_t second = text.find(':', first + 1);
    if (first == std::string_view::npos || second == std::string_view::npos)
        return false;
    return ParseNumber(text.substr(0, first), entry.major, 16) &&
           ParseNumber(text.substr(first + 1, second - first - 1), entry.minor, 16) &&
           ParseNumber(text.substr(second + 1), entry.inode);
}

// What stands for the node in /proc: the node itself, or a served node's lock file,
// which its opens hold and lock (the socket's own inode is no one's).
bool StatNode(const std::string& path, struct stat* st) {
    if (::stat(path.c_str(), st) != 0)
        return false;
    return !S_ISSOCK(st->st_mode) || ::stat(ServedNodeLockPath(path).c_str(), st) == 0;
}

}  // namespace

std::vector<LockEntry> ParseProcLocks(std::string_view text) {
    std::vector<LockEntry> entries;
    std::istringstream lines{std::string(text)};
    std::string line;
    while (std::getline(lines, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 08:01:131 0 EOF"
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, where;
        fields >> number >> kind;
        if (kind == "->")
            continue;  // waiting for the lock, not holding it
        fields >> mode >> access >> pid >> where;
        LockEntry entry;
        entry.kind = kind;
        entry.write = access == "WRITE";
        if (number.empty() || number.back() != ':' || where.empty() ||
            !ParseDeviceInode(where, entry)) {
            continue;
        }
        if (!ParseNumber(std::string_view(pid), entry.pid))
            continue;
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::string ProcessCommand(pid_t pid, const std::string& procRoot) {
    std::string command = ReadSmallFile(procRoot + "/" + std::to_string(pid) + "/comm");
    if (const std::size_t end = command.find('\n'); end != std::string::npos)
        command.resize(end);
    return command;
}

std::vector<NodeHolder> FindNodeHolders(const std::string& path, const std::string& procRoot) {
    std::vector<NodeHolder> holders;
    struct stat st {};
    if (!StatNode(path, &st))
        return holders;
    for (const LockEntry& entry : ParseProcLocks(ReadSmallFile(procRoot + "/locks", 1 << 24))) {
        if (entry.inode != st.st_ino || entry.major != major(st.st_dev) ||
            entry.minor != minor(st.st_dev)) {
            continue;
        }
        holders.push_back(
            {entry.pid, entry.pid > 0 ? ProcessCommand(entry.pid, procRoot) : "", entry.kind});
    }
    return holders;
}

std::vector<NodeHolder> FindNodeOpeners(const std::string& path, const std::string& procRoot) {
    std::vector<NodeHolder> openers;
    struct stat node {};
    if (!StatNode(path, &node))
        return openers;
    DIR* proc = ::opendir(procRoot.c_str());
    if (proc == nullptr)
        return openers;
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(proc)) {
        pid_t pid = 0;
        if (!ParseNumber(std::string_view(entry->d_name), pid) || pid == self)
            continue;
        const std::string fdDir = procRoot + "/" + entry->d_name + "/fd";
        DIR* fds = ::opendir(fdDir.c_str());
        if (fds == nullptr)
            continue;  // gone, or another user's
        while (const dirent* fd = ::readdir(fds)) {
            if (fd->d_name[0] == '.')
                continue;
            struct stat st {};
            if (::stat((fdDir + "/" + fd->d_name).c_str(), &st) == 0 && st.st_ino == node.st_ino &&
                st.st_dev == node.st_dev) {
                openers.push_back({pid, ProcessCommand(pid, procRoot), "open"});
                break;
            }
        }
        ::closedir(fds);
    }
    ::closedir(proc);
    return openers;
}
