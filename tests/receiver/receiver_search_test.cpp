#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/process/running.h"
#include "platform/process/trace.h"
#include "receiver/hid_manager.h"
#include "receiver/receiver_monitor.h"
#include "tests/receiver/fake_hid_bus.h"

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const char kNotFound[] = "[KEYWARDEN] Device not found Error 259.";

std::string Found(const std::string& path) {
    return "[KEYWARDEN] Device found: " + path + ".";
}

class SearchTest : public ::testing::Test {
protected:
    FakeHidBus bus;
    HidManager manager;
    TraceCapture trace;
    char path[kHidPathSize] = {};
};

TEST_F(SearchTest, EachReceiverFoundWhateverTheOrder) {
    struct Layout {
        int ir, game, keyboard;
    } layouts[] = {{0, 1, 2}, {2, 1, 0}, {5, 3, 4}};
    for (const Layout& l : layouts) {
        FakeHidBus tree;
        tree.AddDevice(l.ir, OrvaneUevent(), kIrReceiverDescriptor);
        tree.AddDevice(l.game, OrvaneUevent(), kGamePadDescriptor);
        tree.AddDevice(l.keyboard, Uevent(0x046D, 0xC31C), kKeyboardDescriptor);
        trace.Clear();

        ASSERT_TRUE(manager.FindIrReceiver(tree, path));
        EXPECT_EQ(std::string(path), tree.NodePath(l.ir));
        ASSERT_TRUE(manager.FindGameReceiver(tree, path));
        EXPECT_EQ(std::string(path), tree.NodePath(l.game));
        EXPECT_EQ(trace.Lines(), (Lines{Found(tree.NodePath(l.ir)), Found(tree.NodePath(l.game))}));
    }
}

TEST_F(SearchTest, OtherUsagesAndIdsAreNotTaken) {
    bus.AddDevice(0, OrvaneUevent(), kVendorUsage1Descriptor);
    bus.AddDevice(1, Uevent(0x0471, 0x0607), kIrReceiverDescriptor);
    bus.AddDevice(2, Uevent(0x0472, 0x0606), kGamePadDescriptor);
    bus.AddDevice(3, OrvaneUevent(), kKeyboardDescriptor);
    EXPECT_FALSE(manager.FindIrReceiver(bus, path));
    EXPECT_FALSE(manager.FindGameReceiver(bus, path));
    EXPECT_EQ(trace.Lines(), (Lines{kNotFound, kNotFound}));
}

TEST_F(SearchTest, UnreadableOrMalformedInterfacesAreSkippedQuietly) {
    const std::string uevent = OrvaneUevent();
    const Bytes truncated(kIrReceiverDescriptor.begin(), kIrReceiverDescriptor.end() - 2);
    bus.AddInterface(0, &uevent, nullptr);
    bus.AddInterface(1, &uevent, &truncated);
    bus.AddInterface(2, nullptr, &kIrReceiverDescriptor);
    std::filesystem::create_directories(bus.SysRoot() + "/class/hidraw/hidraw3");  // no device
    bus.AddDevice(4, OrvaneUevent(), kIrReceiverDescriptor);

    ASSERT_TRUE(manager.FindIrReceiver(bus, path));
    EXPECT_EQ(std::string(path), bus.NodePath(4));
    EXPECT_EQ(trace.Lines(), Lines{Found(bus.NodePath(4))});
}

TEST_F(SearchTest, NoDeviceOrNoList) {
    EXPECT_FALSE(manager.FindIrReceiver(bus, path));
    std::filesystem::remove_all(bus.SysRoot() + "/class");
    EXPECT_FALSE(manager.FindGameReceiver(bus, path));
    // A list that cannot be read at all.
    std::filesystem::create_directories(bus.SysRoot() + "/class");
    std::ofstream(bus.SysRoot() + "/class/hidraw") << "x";
    EXPECT_FALSE(manager.FindIrReceiver(bus, path));
    EXPECT_EQ(trace.Lines(),
              (Lines{kNotFound, kNotFound, "[KEYWARDEN] Panic: Can not open HID device node."}));
}

// A dev root that makes "<dev root>/hidraw0" exactly `length` characters long.
std::string DevDirForPathLength(std::size_t length) {
    // Every bus of this process has a temporary root of the same length.
    const std::size_t root = FakeHidBus().TempRoot().size();
    std::size_t dirLength = length - root - 1 - std::strlen("/hidraw0");
    // Components of at most 200 characters, joined by '/'.
    std::string dir;
    while (dirLength > 201) {
        dir += std::string(200, 'd') + "/";
        dirLength -= 201;
    }
    dir += std::string(dirLength, 'd');
    return dir;
}

TEST_F(SearchTest, PathsMustFitTheBuffer) {
    {
        FakeHidBus fits(DevDirForPathLength(kHidPathSize - 1));
        fits.AddDevice(0, OrvaneUevent(), kIrReceiverDescriptor);
        ASSERT_EQ(fits.NodePath(0).size(), kHidPathSize - 1);
        ASSERT_TRUE(manager.FindIrReceiver(fits, path));
        EXPECT_EQ(std::string(path), fits.NodePath(0));
    }
    {
        FakeHidBus tooLong(DevDirForPathLength(kHidPathSize));
        tooLong.AddDevice(0, OrvaneUevent(), kIrReceiverDescriptor);
        ASSERT_EQ(tooLong.NodePath(0).size(), kHidPathSize);
        std::memset(path, 'x', sizeof path);
        EXPECT_FALSE(manager.FindIrReceiver(tooLong, path));
        EXPECT_EQ(path[0], 'x');
        EXPECT_EQ(trace.Lines().back(), kNotFound);
    }
}

// Another process holding flock(LOCK_EX) on a file, until destroyed.
class LockHolder {
public:
    explicit LockHolder(const std::string& path) {
        int ready[2];
        if (::pipe(ready) != 0 || ::pipe(m_release) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(ready[0]);
            ::close(m_release[1]);
            const int fd = ::open(path.c_str(), O_RDWR);
            char c = (fd >= 0 && ::flock(fd, LOCK_EX) == 0) ? 'y' : 'n';
            [[maybe_unused]] ssize_t n = ::write(ready[1], &c, 1);
            n = ::read(m_release[0], &c, 1);  // until the parent lets go
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(m_release[0]);
        char c = 'n';
        m_locked = ::read(ready[0], &c, 1) == 1 && c == 'y';
        ::close(ready[0]);
    }
    ~LockHolder() {
        if (m_pid <= 0)
            return;
        ::close(m_release[1]);
        ::waitpid(m_pid, nullptr, 0);
    }
    bool Locked() const { return m_locked; }

private:
    pid_t m_pid = -1;
    int m_release[2] = {-1, -1};
    bool m_locked = false;
};

class ExclusiveOpenTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_bRunning = true;
        bus.AddDevice(0, OrvaneUevent(), kIrReceiverDescriptor);
        std::strcpy(monitor.m_szIrPath, bus.NodePath(0).c_str());
        std::strcpy(monitor.m_szGamePath, bus.NodePath(0).c_str());
    }
    void TearDown() override { g_bRunning = false; }

    FakeHidBus bus;
    ReceiverMonitor monitor{&bus};
    TraceCapture trace;
};

TEST_F(ExclusiveOpenTest, HeldByAnotherProcess) {
    LockHolder holder(bus.NodePath(0));
    ASSERT_TRUE(holder.Locked());

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(monitor.OpenIrReceiver());
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_FALSE(monitor.m_hIrDevice);
    EXPECT_EQ(bus.NodeOpenCalls(), 2);
    // Two attempts, each followed by its 500 ms wait.
    EXPECT_GE(elapsed, 1000ms);
    EXPECT_LT(elapsed, 1000ms + 250ms);
    EXPECT_EQ(trace.Lines(), Lines{"[KEYWARDEN] OpenHidDevice error -1 : GetLastError: " +
                                   std::to_string(EWOULDBLOCK) + "."});
}

TEST_F(ExclusiveOpenTest, OneHolderInThisProcess) {
    ASSERT_TRUE(monitor.OpenIrReceiver());
    EXPECT_TRUE(monitor.m_hIrDevice);
    EXPECT_EQ(trace.Lines(), Lines{"[KEYWARDEN] Exclusively open file success."});

    // The same node again, as the other receiver: refused.
    EXPECT_FALSE(monitor.OpenGameReceiver());
    EXPECT_FALSE(monitor.m_hGameDevice);
    monitor.m_hIrDevice.Close();
    EXPECT_TRUE(monitor.OpenGameReceiver());
}

}  // namespace
