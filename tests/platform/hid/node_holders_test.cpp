#include "platform/hid/node_holders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

TEST(NodeHolders, ProcLocksLinesAndTheirMatchToANode) {
    const auto entries = ParseProcLocks(
        "1: FLOCK  ADVISORY  WRITE 1234 00:19:4321 0 EOF\n"
        "1: -> FLOCK  ADVISORY  WRITE 99 00:19:4321 0 EOF\n"  // a waiter holds nothing
        "2: POSIX  ADVISORY  READ 77 fd:01:131 0 EOF\n"
        "3: OFDLCK ADVISORY  READ -1 00:05:12 0 EOF\n"
        "4: FLOCK  ADVISORY  WRITE abc 00:19:1 0 EOF\n"  // unreadable: left out
        "garbage\n");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].kind, "FLOCK");
    EXPECT_TRUE(entries[0].write);
    EXPECT_EQ(entries[0].pid, 1234);
    EXPECT_EQ(entries[0].minor, 0x19u);
    EXPECT_EQ(entries[0].inode, 4321u);
    EXPECT_EQ(entries[1].major, 0xFDu);  // hexadecimal
    EXPECT_FALSE(entries[1].write);
    EXPECT_EQ(entries[2].pid, -1);

    // A /proc of the test's own: a lock on the node, one on another inode, and one on
    // the node's inode number on another device.
    const fs::path proc = fs::temp_directory_path() / ("quillon-proc-" + std::to_string(getpid()));
    fs::create_directories(proc / "4242");
    const fs::path node = proc / "hidraw0";
    std::ofstream(node).put('x');
    struct stat st {};
    ASSERT_EQ(stat(node.c_str(), &st), 0);
    char line[160];
    std::snprintf(line, sizeof line, "1: FLOCK ADVISORY WRITE 4242 %02x:%02x:%llu 0 EOF\n",
                  major(st.st_dev), minor(st.st_dev), static_cast<unsigned long long>(st.st_ino));
    char elsewhere[160];
    std::snprintf(elsewhere, sizeof elsewhere, "3: FLOCK ADVISORY WRITE 1 %02x:%02x:%llu 0 EOF\n",
                  major(st.st_dev) + 1, minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ofstream(proc / "locks") << line << "2: FLOCK ADVISORY WRITE 1 00:01:1 0 EOF\n"
                                  << elsewhere;
    std::ofstream(proc / "4242" / "comm") << "keywardend\n";
    const auto holders = FindNodeHolders(node.string(), proc.string());
    ASSERT_EQ(holders.size(), 1u);
    EXPECT_EQ(holders[0].pid, 4242);
    EXPECT_EQ(holders[0].command, "keywardend");
    fs::remove_all(proc);
}

}  // namespace
