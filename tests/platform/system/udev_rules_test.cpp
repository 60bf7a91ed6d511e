// The udev rules that grant the kit's nodes: ours as shipped, and the order in which
// udev reads the rule files.

#include "platform/system/udev_rules.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

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
