// The served tree, read back by two recorders at once.

#include "platform/hid/served_hid_tree.h"

#include <gtest/gtest.h>

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/hid/hid_device.h"
#include "platform/hid/hid_recorder.h"
#include "platform/hid/hid_recording.h"
#include "platform/hid/hid_replay.h"
#include "tests/platform/hid/replay_fixtures.h"

namespace {

using namespace std::chrono_literals;
using namespace replay_fixtures;

// Replayed into served nodes and recorded from them by two readers at once: each gets
// every report, and the devices read back as they were recorded. Neither reader
// locks the node.
TEST(ServedHidTree, EveryReaderGetsEveryReportAndTheDevicesReadBackWhole) {
    const HidRecording r = TwoDevices();
    auto tree = std::make_unique<ServedHidTree>();
    std::string error;
    ASSERT_TRUE(tree->Create(r, &error)) << error;
    HidSystem hid(tree->SysRoot(), tree->DevRoot());

    HidRecorder first, second;
    ASSERT_TRUE(first.Open(hid, {tree->NodePath(0), tree->NodePath(1)}, &error)) << error;
    ASSERT_TRUE(second.Open(hid, {tree->NodePath(1)}, &error)) << error;
    EXPECT_EQ(first.Devices(), r.devices);
    EXPECT_EQ(second.Devices()[0], r.devices[1]);

    Stop stop;
    Bound bound(stop.fd);
    const ReplayResult result = PlayRecording(r, *tree, {1000.0, true}, stop.fd);
    ASSERT_EQ(result.end, ReplayEnd::Done);
    EXPECT_EQ(tree->Readers(1), 2u);
    // What is sent is queued on each reader's connection; the tree going away is the
    // unplug that ends both recordings once they have read it all.
    std::vector<RecordedEvent> firstGot, secondGot;
    int gone = 0;
    auto collect = [](std::vector<RecordedEvent>* into) {
        return [into](std::size_t device, std::uint64_t, std::span<const std::uint8_t> data) {
            into->push_back({device, 0, {data.begin(), data.end()}});
        };
    };
    tree.reset();
    EXPECT_FALSE(
        first.Run(stop.fd, collect(&firstGot), [&](std::size_t, std::uint64_t, int) { ++gone; }));
    EXPECT_FALSE(
        second.Run(stop.fd, collect(&secondGot), [&](std::size_t, std::uint64_t, int) { ++gone; }));
    EXPECT_EQ(gone, 3);
    EXPECT_FALSE(bound.Fired());
    // In order per device (the recorder takes the two nodes as they come).
    for (std::size_t device : {0u, 1u}) {
        std::vector<std::vector<std::uint8_t>> got, want;
        for (const RecordedEvent& e : firstGot) {
            if (e.device == device)
                got.push_back(e.data);
        }
        for (const RecordedEvent& e : r.events) {
            if (e.device == device)
                want.push_back(e.data);
        }
        EXPECT_EQ(got, want) << device;
    }
    ASSERT_EQ(secondGot.size(), 1u);
    EXPECT_EQ(secondGot[0].data, r.events[2].data);
}

}  // namespace
