// Who may open a node and why: the kernel's order of owner, named user, groups and
// others, the ACL mask, and a real ACL read back from a file.

#include "platform/hid/node_access.h"

#include <gtest/gtest.h>
#include <sys/acl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

constexpr uid_t kUser = 54321;  // no such user here: shown by number
constexpr gid_t kGroup = 54322;

Credentials User(std::vector<gid_t> groups = {}) {
    Credentials who;
    who.uid = kUser;
    who.gid = kUser;
    who.groups = std::move(groups);
    return who;
}

FileSecurity Node(unsigned mode, gid_t group = 0, std::vector<AclEntry> acl = {}) {
    return {mode, 0, group, std::move(acl)};
}

constexpr unsigned kRw = kPermRead | kPermWrite;

TEST(NodeAccess, DecidesInTheKernelsOrderAndSaysWhy) {
    // Root's node without an ACL: what the user sees before udev's uaccess applies.
    {
        const FileSecurity node = Node(0600);
        const AccessDecision d = DecideAccess(node, User(), kRw);
        EXPECT_FALSE(d.granted);
        EXPECT_EQ(d.via, AccessDecision::Via::Other);
        EXPECT_EQ(DescribeAccess(node, User(), d),
                  "mode 0600, owner root, group root, others ---; no ACL entry for you");
    }
    // What uaccess gives: a named entry for the user, the mask letting it through.
    {
        const FileSecurity node = Node(0660, 0,
                                       {{AclEntry::Tag::User, kUser, kRw},
                                        {AclEntry::Tag::GroupObj, 0, kRw},
                                        {AclEntry::Tag::Mask, 0, kRw}});
        const AccessDecision d = DecideAccess(node, User(), kRw);
        EXPECT_TRUE(d.granted);
        EXPECT_EQ(d.via, AccessDecision::Via::UserEntry);
        EXPECT_NE(DescribeAccess(node, User(), d).find("user:54321:rw-"), std::string::npos);
        // Someone else still gets only what others get.
        Credentials other = User();
        other.uid = kUser + 1;
        EXPECT_FALSE(DecideAccess(node, other, kRw).granted);
        EXPECT_NE(DescribeAccess(node, other, DecideAccess(node, other, kRw))
                      .find("the ACL has entries for other users only"),
                  std::string::npos);
    }
    // The mask takes away what the entry would give.
    {
        const FileSecurity node = Node(0640, 0,
                                       {{AclEntry::Tag::User, kUser, kRw},
                                        {AclEntry::Tag::GroupObj, 0, kRw},
                                        {AclEntry::Tag::Mask, 0, kPermRead}});
        const AccessDecision d = DecideAccess(node, User(), kRw);
        EXPECT_FALSE(d.granted);
        EXPECT_TRUE(d.masked);
        EXPECT_EQ(d.effective, unsigned{kPermRead});
        EXPECT_NE(DescribeAccess(node, User(), d).find("mask::r--"), std::string::npos);
    }
    // A group of the user's, through the mode or a named entry; one is enough.
    {
        const FileSecurity byMode = Node(0660, kGroup);
        EXPECT_TRUE(DecideAccess(byMode, User({kGroup}), kRw).granted);
        EXPECT_FALSE(DecideAccess(byMode, User(), kRw).granted);
        const FileSecurity byEntry = Node(0600, 0,
                                          {{AclEntry::Tag::GroupObj, 0, 0},
                                           {AclEntry::Tag::Group, kGroup, kRw},
                                           {AclEntry::Tag::Mask, 0, kRw}});
        const AccessDecision d = DecideAccess(byEntry, User({0, kGroup}), kRw);
        EXPECT_TRUE(d.granted);
        EXPECT_EQ(d.via, AccessDecision::Via::Group);
        EXPECT_EQ(d.matched.size(), 2u);
        // A matching group that grants nothing ends the search: others' bits do not
        // count then, as in the kernel.
        EXPECT_FALSE(DecideAccess(Node(0606, kGroup), User({kGroup}), kRw).granted);
    }
    // The owner's bits alone decide for the owner.
    {
        FileSecurity node = Node(0066);
        node.owner = kUser;
        EXPECT_FALSE(DecideAccess(node, User(), kRw).granted);
        EXPECT_EQ(DecideAccess(node, User(), kRw).via, AccessDecision::Via::Owner);
    }
    // Who overrides modes opens anything.
    Credentials root = User();
    root.uid = 0;
    root.overridesModes = true;
    EXPECT_TRUE(DecideAccess(Node(0), root, kRw).granted);
}

TEST(NodeAccess, ReadsTheAclOfARealFile) {
    const fs::path dir = fs::temp_directory_path() / ("quillon-acl-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path file = dir / "hidraw0";
    std::ofstream(file) << "";
    acl_t acl = acl_from_text("u::rw-,u:54321:rw-,g::---,m::rw-,o::---");
    ASSERT_NE(acl, nullptr);
    const int set = acl_set_file(file.c_str(), ACL_TYPE_ACCESS, acl);
    const int error = errno;
    acl_free(acl);
    if (set != 0) {
        fs::remove_all(dir);
        GTEST_SKIP() << "no ACLs on " << dir << ": " << std::strerror(error);
    }
    FileSecurity security;
    std::string why;
    ASSERT_TRUE(ReadFileSecurity(file.string(), &security, &why)) << why;
    EXPECT_EQ(security.mode, 0660u);  // the group bits show the mask
    EXPECT_EQ(security.owner, geteuid());
    const std::vector<AclEntry> expected = {{AclEntry::Tag::User, kUser, kRw},
                                            {AclEntry::Tag::GroupObj, 0, 0},
                                            {AclEntry::Tag::Mask, 0, kRw}};
    EXPECT_EQ(security.acl, expected);
    EXPECT_TRUE(DecideAccess(security, User(), kRw).granted);
    // The owning group's own entry grants nothing, whatever the mask shows in the mode.
    Credentials inGroup = User({security.group});
    inGroup.uid = kUser + 1;
    EXPECT_FALSE(DecideAccess(security, inGroup, kRw).granted);

    // Without extended entries there is nothing but the mode.
    std::ofstream(dir / "plain") << "";
    ASSERT_TRUE(ReadFileSecurity((dir / "plain").string(), &security, &why));
    EXPECT_TRUE(security.acl.empty());
    EXPECT_FALSE(ReadFileSecurity((dir / "missing").string(), &security, &why));
    EXPECT_EQ(why, std::strerror(ENOENT));
    fs::remove_all(dir);
}

}  // namespace
