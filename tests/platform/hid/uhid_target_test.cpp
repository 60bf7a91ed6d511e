// The uhid target against a socket pair in /dev/uhid's place.

#include "platform/hid/uhid_target.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/hid/hid_device.h"
#include "platform/hid/hid_recording.h"
#include "platform/hid/hid_replay.h"
#include "tests/platform/hid/replay_fixtures.h"

namespace {

using namespace std::chrono_literals;
using namespace replay_fixtures;

// One end of a socket pair plays /dev/uhid: the kernel's start is no reader, and no
// report goes out before a program has opened the device (the kernel's open).
class FakeUhid {
public:
    FakeUhid() {
        int pair[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
        ours = HidHandle(pair[0]);
        theirs = HidHandle(pair[1]);
        fcntl(theirs.Get(), F_SETFL, O_NONBLOCK);
    }
    void Tell(std::uint32_t type, std::uint32_t id = 0) {
        auto ev = std::make_unique<uhid_event>();
        ev->type = type;
        ev->u.get_report.id = id;
        ASSERT_EQ(write(ours.Get(), ev.get(), sizeof *ev), static_cast<ssize_t>(sizeof *ev));
    }
    // The next event the target wrote, within `timeout`; none: type 0.
    uhid_event Next(std::chrono::milliseconds timeout) {
        uhid_event ev{};
        pollfd p{ours.Get(), POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) == 1) {
            EXPECT_EQ(read(ours.Get(), &ev, sizeof ev), static_cast<ssize_t>(sizeof ev));
        }
        return ev;
    }
    HidHandle ours, theirs;
};

TEST(UhidTarget, NoReportGoesOutBeforeTheKernelSaysADeviceIsOpen) {
    HidRecording r = TwoDevices();
    r.events = {{0, 0, {0x11}}, {1, 1000, {0x22, 0x22}}};
    FakeUhid kernel[2];
    std::vector<HidHandle> handles;
    for (FakeUhid& k : kernel) {
        k.Tell(UHID_START);
        handles.push_back(std::move(k.theirs));
    }
    UhidTarget target;
    std::string error;
    ASSERT_TRUE(target.CreateOn(r.devices, std::move(handles), &error)) << error;
    for (std::size_t i = 0; i < 2; ++i) {
        const uhid_event created = kernel[i].Next(1s);
        ASSERT_EQ(created.type, UHID_CREATE2);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(created.u.create2.name)),
                  r.devices[i].name);
        EXPECT_EQ(created.u.create2.product, r.devices[i].product);
        EXPECT_EQ(std::vector<std::uint8_t>(created.u.create2.rd_data,
                                            created.u.create2.rd_data + created.u.create2.rd_size),
                  r.devices[i].descriptor);
    }

    Stop stop;
    ReplayResult result;
    std::thread player([&] {
        Bound bound(stop.fd);
        result = PlayRecording(r, target, {1.0, true}, stop.fd);
    });
    // Started, and device 0 opened: still nothing, for device 1 has no reader.
    kernel[0].Tell(UHID_OPEN);
    // A request the recording cannot answer is refused at once, also while waiting.
    kernel[1].Tell(UHID_GET_REPORT, 7);
    const uhid_event reply = kernel[1].Next(2s);
    EXPECT_EQ(reply.type, UHID_GET_REPORT_REPLY);
    EXPECT_EQ(reply.u.get_report_reply.id, 7u);
    EXPECT_EQ(reply.u.get_report_reply.err, EIO);
    EXPECT_EQ(kernel[0].Next(200ms).type, 0u) << "a report before every device was opened";
    EXPECT_EQ(kernel[1].Next(0ms).type, 0u);

    const auto opened = Clock::now();
    kernel[1].Tell(UHID_OPEN);
    const uhid_event first = kernel[0].Next(2s);
    const auto firstAt = Clock::now();
    const uhid_event second = kernel[1].Next(2s);
    player.join();
    EXPECT_EQ(result.end, ReplayEnd::Done);
    ASSERT_EQ(first.type, UHID_INPUT2);
    EXPECT_EQ(first.u.input2.size, 1u);
    EXPECT_EQ(first.u.input2.data[0], 0x11);
    EXPECT_LT(firstAt - opened, 100ms);
    ASSERT_EQ(second.type, UHID_INPUT2);
    EXPECT_EQ(second.u.input2.size, 2u);
    target.Destroy();
    EXPECT_EQ(kernel[0].Next(1s).type, UHID_DESTROY);
}

}  // namespace
