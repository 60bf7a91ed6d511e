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

#include "platform/system/udev_rules.h"

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

TEST(UdevRules, FindsTheRulesForTheKitAndWhatTheyGrant) {
    std::string text;
    if (std::FILE* f = std::fopen(QUILLON_SOURCE_DIR "/res/70-quillon.rules", "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            text.append(buffer, n);
        std::fclose(f);
    }
    ASSERT_FALSE(text.empty());
    auto rules = ScanUdevRuleText(text, 0x0471, 0x0606);
    ASSERT_EQ(rules.size(), 1u) << "the project's own rule";
    EXPECT_TRUE(rules[0].uaccess);

    rules = ScanUdevRuleText(
        "# KERNEL==\"hidraw*\", ATTRS{idVendor}==\"0471\", ATTRS{idProduct}==\"0606\", "
        "TAG+=\"uaccess\"\n"
        "SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"046d\", ATTRS{idProduct}==\"0606\", "
        "MODE=\"0666\"\n"
        "SUBSYSTEM==\"hidraw\", ATTRS{idVendor}!=\"0471\", ATTRS{idProduct}==\"0606\", "
        "MODE=\"0666\"\n"
        "SUBSYSTEM==\"hidraw\", \\\n"
        "  ATTRS{idVendor}==\"0471\", ATTRS{idProduct}==\"0606\", \\\n"
        "  MODE=\"0660\", GROUP=\"plugdev\"\n"
        "KERNELS==\"0003:0471:0606.*\", TAG+=\"uaccess\"\n"
        "ENV{ID_VENDOR_ID}==\"0471\", ENV{ID_MODEL_ID}==\"0606\", MODE:=\"0666\"\n",
        0x0471, 0x0606);
    ASSERT_EQ(rules.size(), 3u);
    EXPECT_EQ(rules[0].line, 4u);  // where the continued rule begins
    EXPECT_EQ(rules[0].mode, "0660");
    EXPECT_EQ(rules[0].group, "plugdev");
    EXPECT_FALSE(rules[0].uaccess);
    EXPECT_TRUE(rules[1].uaccess);
    EXPECT_EQ(rules[2].mode, "0666");
}

TEST(UdevRules, TheOrderOfFilesAndWhatHidesWhat) {
    const fs::path root = fs::temp_directory_path() / ("quillon-udev-" + std::to_string(getpid()));
    const fs::path etc = root / "etc/udev/rules.d";
    const fs::path lib = root / "usr/lib/udev/rules.d";
    fs::create_directories(etc);
    fs::create_directories(lib);
    const std::string rule =
        "KERNEL==\"hidraw*\", ATTRS{idVendor}==\"0471\", ATTRS{idProduct}==\"0606\", "
        "TAG+=\"uaccess\"\n";
    std::ofstream(lib / "73-seat-late.rules") << "TAG==\"uaccess\", RUN{builtin}+=\"uaccess\"\n";

    UdevRuleReport report = FindUdevRules(0x0471, 0x0606, root.string());
    EXPECT_TRUE(report.files.empty());
    EXPECT_TRUE(report.seatLateFound);

    // Too late: 73-seat-late.rules has already turned tags into ACLs.
    std::ofstream(etc / "99-orvane.rules") << rule;
    report = FindUdevRules(0x0471, 0x0606, root.string());
    ASSERT_EQ(report.files.size(), 1u);
    ASSERT_NE(report.LateUaccessFile(), nullptr);
    EXPECT_EQ(report.LateUaccessFile()->path, (etc / "99-orvane.rules").string());

    // In time; and a file in /etc hides the packaged one of the same name.
    fs::rename(etc / "99-orvane.rules", etc / "70-quillon.rules");
    std::ofstream(lib / "70-quillon.rules") << "# packaged, hidden\n" << rule;
    report = FindUdevRules(0x0471, 0x0606, root.string());
    ASSERT_EQ(report.files.size(), 1u);
    EXPECT_EQ(report.files[0].path, (etc / "70-quillon.rules").string());
    EXPECT_EQ(report.files[0].rules[0].line, 1u);
    EXPECT_EQ(report.LateUaccessFile(), nullptr);
    EXPECT_TRUE(report.AnyUaccess());

    // A link to /dev/null in /etc switches the name off altogether.
    fs::remove(etc / "70-quillon.rules");
    fs::create_symlink("/dev/null", etc / "70-quillon.rules");
    report = FindUdevRules(0x0471, 0x0606, root.string());
    EXPECT_TRUE(report.files.empty());
    EXPECT_TRUE(report.problems.empty());
    fs::remove_all(root);
}

}  // namespace
