// The recorder: no lock taken, and why a node cannot be recorded.

#include "platform/hid/hid_recorder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <string>

#include "platform/hid/hid_device.h"
#include "platform/hid/served_hid_tree.h"
#include "tests/platform/hid/replay_fixtures.h"

namespace {

using namespace std::chrono_literals;
using namespace replay_fixtures;

TEST(HidRecorder, ReadsWithoutTheLockAndSaysWhyANodeCannotBeOpened) {
    const HidRecording r = TwoDevices();
    auto tree = std::make_unique<ServedHidTree>();
    std::string error;
    ASSERT_TRUE(tree->Create(r, &error)) << error;
    // A plain file in the node's place opens and locks as a hidraw node does.
    const std::string node = tree->DevRoot() + "/hidraw0";
    ASSERT_EQ(unlink(node.c_str()), 0);
    { std::ofstream(node) << ""; }
    HidSystem hid(tree->SysRoot(), tree->DevRoot());
    HidRecorder recorder;
    ASSERT_TRUE(recorder.Open(hid, {node}, &error)) << error;
    HidDeviceInfo exclusive;
    EXPECT_EQ(hid.OpenHidDevice(node.c_str(), true, true, true, true, false, &exclusive),
              HID_OPEN_OK)
        << "the recorder must not hold the node's lock";

    HidRecorder missing;
    EXPECT_FALSE(missing.Open(hid, {node, tree->DevRoot() + "/hidraw7"}, &error));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_NE(error.find("hidraw7"), std::string::npos) << error;
    EXPECT_TRUE(missing.Devices().empty());
    // A file that opens but is no HID interface.
    const std::string other = tree->DevRoot() + "/ttyS0";
    { std::ofstream(other) << ""; }
    EXPECT_FALSE(missing.Open(hid, {other}, &error));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(error, other + ": not a hidraw interface (sysfs gives no descriptor or ids for it)");
}

}  // namespace
