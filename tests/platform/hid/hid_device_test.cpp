#include "platform/hid/hid_device.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "tests/support/fake_hid_bus.h"

namespace {

namespace fs = std::filesystem;

TEST(HidSystem, ListsInterfacesByNumber) {
    FakeHidBus bus;
    for (int n : {10, 2, 1})
        bus.AddDevice(n, OrvaneUevent(), kIrReceiverDescriptor);
    fs::create_directories(bus.SysRoot() + "/class/hidraw/hidrawx");
    fs::create_directories(bus.SysRoot() + "/class/hidraw/hidraw");
    fs::create_directories(bus.SysRoot() + "/class/hidraw/other0");

    std::vector<std::string> names;
    ASSERT_TRUE(bus.ListInterfaces(&names));
    EXPECT_EQ(names, (std::vector<std::string>{"hidraw1", "hidraw2", "hidraw10"}));
}

TEST(HidSystem, ListWithoutHidrawClass) {
    FakeHidBus bus;
    std::vector<std::string> names{"stale"};
    fs::remove_all(bus.SysRoot() + "/class/hidraw");
    // No hidraw device was ever bound: an empty list, not a failure.
    ASSERT_TRUE(bus.ListInterfaces(&names));
    EXPECT_TRUE(names.empty());

    std::ofstream(bus.SysRoot() + "/class/hidraw") << "not a directory";
    EXPECT_FALSE(bus.ListInterfaces(&names));
}

TEST(HidSystem, QueryOpenResultCodes) {
    FakeHidBus bus;
    const std::string uevent = OrvaneUevent();
    const std::string noId = "DRIVER=hid-generic\n";
    const Bytes empty;
    const Bytes truncated(kIrReceiverDescriptor.begin(), kIrReceiverDescriptor.end() - 1);
    bus.AddInterface(1, &uevent, nullptr);
    bus.AddInterface(2, &uevent, &empty);
    bus.AddInterface(3, nullptr, &kIrReceiverDescriptor);
    bus.AddInterface(4, &noId, &kIrReceiverDescriptor);
    bus.AddInterface(5, &uevent, &truncated);
    bus.AddInterface(6, &uevent, &kGamePadDescriptor);

    struct Case {
        int n;
        std::int32_t result;
    } cases[] = {{0, HID_OPEN_FAILED},
                 {1, HID_OPEN_NO_DESCRIPTOR},
                 {2, HID_OPEN_NO_DESCRIPTOR},
                 {3, HID_OPEN_NO_ATTRIBUTES},
                 {4, HID_OPEN_NO_ATTRIBUTES},
                 {5, HID_OPEN_NO_CAPS},
                 {6, HID_OPEN_OK}};
    for (const Case& c : cases) {
        HidDeviceInfo info;
        const std::string path = bus.NodePath(c.n);
        EXPECT_EQ(bus.OpenHidDevice(path.c_str(), false, false, false, false, true, &info),
                  c.result)
            << path;
        if (c.result == HID_OPEN_OK) {
            EXPECT_EQ(info.path, path);
            EXPECT_TRUE(info.handle);
            EXPECT_EQ(info.attributes.vendorId, 0x0471);
            EXPECT_EQ(info.attributes.productId, 0x0606);
            EXPECT_EQ(info.caps.usagePage, 1);
            EXPECT_EQ(info.caps.usage, 5);
            EXPECT_EQ(info.preparsedData, kGamePadDescriptor);
        } else {
            EXPECT_TRUE(info.path.empty());
            EXPECT_FALSE(info.handle);
        }
    }
    // A query never touches the node itself.
    EXPECT_EQ(bus.NodeOpenCalls(), 0);
}

TEST(HidSystem, ExclusiveOpenAllowsOneHolder) {
    FakeHidBus bus;
    bus.AddDevice(0, OrvaneUevent(), kIrReceiverDescriptor);
    const std::string path = bus.NodePath(0);

    HidDeviceInfo first;
    ASSERT_EQ(bus.OpenHidDevice(path.c_str(), true, true, true, true, false, &first), HID_OPEN_OK);
    EXPECT_TRUE(first.exclusive);
    EXPECT_TRUE(::fcntl(first.handle.Get(), F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(::fcntl(first.handle.Get(), F_GETFD) & FD_CLOEXEC);

    HidDeviceInfo second;
    EXPECT_EQ(bus.OpenHidDevice(path.c_str(), true, true, true, true, false, &second),
              HID_OPEN_FAILED);
    EXPECT_EQ(errno, EWOULDBLOCK);
    EXPECT_FALSE(second.handle);
    EXPECT_TRUE(second.path.empty());

    first.handle.Close();
    EXPECT_EQ(bus.OpenHidDevice(path.c_str(), true, true, true, true, false, &second), HID_OPEN_OK);

    HidDeviceInfo missing;
    const std::string gone = bus.NodePath(7);
    EXPECT_EQ(bus.OpenHidDevice(gone.c_str(), true, true, true, true, false, &missing),
              HID_OPEN_FAILED);
    EXPECT_EQ(errno, ENOENT);
}

class ReadReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    }
    void TearDown() override {
        for (int fd : fds) {
            if (fd >= 0)
                ::close(fd);
        }
    }
    HidReadResult Read(int timeoutMs = 1000) {
        buffer.fill(0);
        return ReadHidReport(fds[0], wake.Fd(), buffer, timeoutMs);
    }
    void Send(const Bytes& b) {
        ASSERT_EQ(::send(fds[1], b.data(), b.size(), 0), static_cast<ssize_t>(b.size()));
    }

    int fds[2] = {-1, -1};
    WakeSignal wake;
    std::array<std::uint8_t, 6> buffer{};
};

TEST_F(ReadReportTest, OneReportPerRead) {
    Send({3, 1, 0x22, 0xB0, 0x26, 0x05});
    Send({1, 2});
    auto r = Read();
    ASSERT_EQ(r.status, HidReadStatus::Report);
    EXPECT_EQ(r.size, 6u);
    EXPECT_EQ(buffer[5], 0x05);
    r = Read();
    ASSERT_EQ(r.status, HidReadStatus::Report);
    EXPECT_EQ(r.size, 2u);
}

TEST_F(ReadReportTest, TimeoutAndWakeUp) {
    // The read waits out its time-out, no less (a read loop would spin) and no more.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(100).status, HidReadStatus::Timeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100 + 250));
    wake.Signal();
    EXPECT_EQ(Read().status, HidReadStatus::Woken);
    wake.Drain();
    EXPECT_EQ(Read(20).status, HidReadStatus::Timeout);
}

TEST_F(ReadReportTest, QueuedReportsOutliveTheHangUp) {
    Send({3, 1, 0x22, 0xB0, 0x26, 0x01});
    ::close(fds[1]);
    fds[1] = -1;
    EXPECT_EQ(Read().status, HidReadStatus::Report);
    EXPECT_EQ(Read().status, HidReadStatus::Failed);
}

TEST_F(ReadReportTest, ReadErrorEndsTheDevice) {
    // A descriptor that cannot be read (write-only end of a pipe) fails like a removed node.
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    ::close(pipeFds[0]);
    const auto r = ReadHidReport(pipeFds[1], -1, buffer, 1000);
    ::close(pipeFds[1]);
    EXPECT_EQ(r.status, HidReadStatus::Failed);
}

}  // namespace
