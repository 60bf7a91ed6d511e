// The real HID layer and receiver threads against real kernel hidraw nodes, made
// with /dev/uhid. Runs as root inside the guest that scripts/test-kernel boots; the
// receivers here are the only HID devices there.

#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "decode/key_dispatcher.h"
#include "platform/hid/hid_device.h"
#include "platform/hid/hid_recorder.h"
#include "platform/hid/hid_recording.h"
#include "platform/hid/hid_replay.h"
#include "platform/hid/uhid_target.h"
#include "platform/process/running.h"
#include "platform/process/trace.h"
#include "platform/process/worker_thread.h"
#include "receiver/hid_manager.h"
#include "receiver/receiver_monitor.h"
#include "tests/support/demo_recording.h"
#include "tests/support/receiver_threads.h"
#include "tests/support/recording_dialog.h"
#include "tests/support/report_rate.h"
#include "tools/virtual_kit/virtual_hid_bus.h"
#include "tools/virtual_kit/virtual_kit.h"

// tests/data/demo-scenario.hidrec, built in (demo_recording_data.cpp).
std::string_view DemoRecordingText();

namespace {

using namespace std::chrono_literals;
using Calls = std::vector<DialogCall>;

// Polls a condition that no descriptor signals (sysfs and devtmpfs entries).
template <typename Pred>
bool PollUntil(Pred pred, std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// One uhid device with the receivers' ids; destroyed when the object goes.
class UhidDevice {
public:
    UhidDevice() = default;
    ~UhidDevice() { Destroy(); }
    UhidDevice(const UhidDevice&) = delete;
    UhidDevice& operator=(const UhidDevice&) = delete;

    bool Create(const char* name, const Bytes& descriptor) {
        m_fd = HidHandle(::open("/dev/uhid", O_RDWR | O_NONBLOCK | O_CLOEXEC));
        if (!m_fd)
            return false;
        uhid_event ev{};
        ev.type = UHID_CREATE2;
        std::snprintf(reinterpret_cast<char*>(ev.u.create2.name), sizeof ev.u.create2.name, "%s",
                      name);
        ev.u.create2.rd_size = static_cast<std::uint16_t>(descriptor.size());
        ev.u.create2.bus = 0x03;  // USB
        ev.u.create2.vendor = ORVANE_VENDOR_ID;
        ev.u.create2.product = ORVANE_PRODUCT_ID;
        std::copy(descriptor.begin(), descriptor.end(), ev.u.create2.rd_data);
        return Write(ev);
    }

    bool Input(const Bytes& report) {
        uhid_event ev{};
        ev.type = UHID_INPUT2;
        ev.u.input2.size = static_cast<std::uint16_t>(report.size());
        std::copy(report.begin(), report.end(), ev.u.input2.data);
        return Write(ev);
    }

    void Destroy() {
        if (!m_fd)
            return;
        uhid_event ev{};
        ev.type = UHID_DESTROY;
        Write(ev);
        m_fd.Close();
    }

private:
    bool Write(const uhid_event& ev) {
        // The kernel queues start/open/close events for us; nobody needs them, and a
        // full queue only logs, but keep it empty.
        uhid_event in{};
        while (::read(m_fd.Get(), &in, sizeof in) > 0) {
        }
        return ::write(m_fd.Get(), &ev, sizeof ev) == static_cast<ssize_t>(sizeof ev);
    }

    HidHandle m_fd;
};

std::string NodeName(const std::string& devicePath) {
    return devicePath.substr(devicePath.rfind('/') + 1);
}

int NodeNumber(const std::string& devicePath) {
    return std::atoi(NodeName(devicePath).c_str() + std::strlen("hidraw"));
}

Bytes SysfsDescriptor(const std::string& devicePath) {
    std::ifstream in("/sys/class/hidraw/" + NodeName(devicePath) + "/device/report_descriptor",
                     std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Our receivers present in /sys/class/hidraw with their nodes in /dev.
int OrvaneNodes() {
    HidSystem hid("/sys", "/dev");
    std::vector<std::string> names;
    if (!hid.ListInterfaces(&names))
        return -1;
    int count = 0;
    for (const auto& name : names) {
        HidDeviceInfo info;
        if (hid.OpenHidDevice(hid.DevicePath(name).c_str(), false, false, false, false, true,
                              &info) == HID_OPEN_OK &&
            info.attributes.vendorId == ORVANE_VENDOR_ID && ::access(info.path.c_str(), F_OK) == 0)
            ++count;
    }
    return count;
}

// The 14 codes of a token frame for serial 123456789 and password 87654321: the
// token key, the length 12, the serial in BCD, three unused codes, the password;
// the toggle bit flips from each code to the next.
std::vector<IrScanCode> TokenFrame() {
    const std::uint8_t data[] = {12,   0x12, 0x34, 0x56, 0x78, 0x90, 0x00,
                                 0x00, 0x00, 0x87, 0x65, 0x43, 0x21};
    std::vector<IrScanCode> codes{0x7F97};
    bool toggle = false;
    for (std::uint8_t d : data) {
        toggle = !toggle;
        codes.push_back(static_cast<IrScanCode>(0x7F00 | d | (toggle ? 0x8000 : 0)));
    }
    return codes;
}

class KernelHidTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Nothing left over from an earlier test: each starts with no receiver.
        ASSERT_TRUE(PollUntil([] { return OrvaneNodes() == 0; }));
    }

    void CreateBoth() {
        ASSERT_TRUE(ir.Create("Orvane IR receiver", kIrReceiverDescriptor)) << errno;
        ASSERT_TRUE(game.Create("Orvane game receiver", kGamePadDescriptor)) << errno;
        ASSERT_TRUE(PollUntil([] { return OrvaneNodes() == 2; }));
    }

    bool FindBoth() {
        return manager.FindIrReceiver(hid, irPath) && manager.FindGameReceiver(hid, gamePath);
    }

    HidSystem hid{"/sys", "/dev"};
    HidManager manager;
    UhidDevice ir;
    UhidDevice game;
    char irPath[kHidPathSize] = {};
    char gamePath[kHidPathSize] = {};
};

// Whichever receiver the kernel numbers first, each search finds its own.
class KernelSearchTest : public KernelHidTest, public ::testing::WithParamInterface<bool> {};

TEST_P(KernelSearchTest, SearchFindsEachReceiverByItsCollection) {
    const bool gameFirst = GetParam();
    TraceCapture trace;
    EXPECT_FALSE(manager.FindIrReceiver(hid, irPath));
    EXPECT_EQ(trace.Count("[KEYWARDEN] Device not found Error 259."), 1u);

    if (gameFirst) {
        ASSERT_TRUE(game.Create("Orvane game receiver", kGamePadDescriptor)) << errno;
        ASSERT_TRUE(PollUntil([] { return OrvaneNodes() == 1; }));
        EXPECT_FALSE(manager.FindIrReceiver(hid, irPath));
        ASSERT_TRUE(ir.Create("Orvane IR receiver", kIrReceiverDescriptor)) << errno;
    } else {
        ASSERT_TRUE(ir.Create("Orvane IR receiver", kIrReceiverDescriptor)) << errno;
        ASSERT_TRUE(PollUntil([] { return OrvaneNodes() == 1; }));
        EXPECT_FALSE(manager.FindGameReceiver(hid, gamePath));
        ASSERT_TRUE(game.Create("Orvane game receiver", kGamePadDescriptor)) << errno;
    }
    ASSERT_TRUE(PollUntil([] { return OrvaneNodes() == 2; }));
    ASSERT_TRUE(FindBoth());
    EXPECT_NE(std::string(irPath), std::string(gamePath));
    EXPECT_EQ(SysfsDescriptor(irPath), kIrReceiverDescriptor);
    EXPECT_EQ(SysfsDescriptor(gamePath), kGamePadDescriptor);
    // The kernel numbers nodes in creation order.
    EXPECT_EQ(NodeNumber(irPath) < NodeNumber(gamePath), !gameFirst) << irPath << " " << gamePath;

    HidDeviceInfo info;
    ASSERT_EQ(hid.OpenHidDevice(irPath, false, false, false, false, true, &info), HID_OPEN_OK);
    EXPECT_EQ(info.caps.usagePage, IR_USAGE_PAGE);
    EXPECT_EQ(info.caps.usage, IR_USAGE);
    EXPECT_EQ(info.attributes.vendorId, ORVANE_VENDOR_ID);
    EXPECT_EQ(info.attributes.productId, ORVANE_PRODUCT_ID);
    EXPECT_EQ(info.preparsedData, kIrReceiverDescriptor);
    ASSERT_EQ(hid.OpenHidDevice(gamePath, false, false, false, false, true, &info), HID_OPEN_OK);
    EXPECT_EQ(info.caps.usagePage, GAME_USAGE_PAGE);
    EXPECT_EQ(info.caps.usage, GAME_USAGE);
}

INSTANTIATE_TEST_SUITE_P(CreationOrder, KernelSearchTest, ::testing::Values(false, true),
                         [](const auto& param) { return param.param ? "GameFirst" : "IrFirst"; });

TEST_F(KernelHidTest, ExclusiveOpenLocksOutASecondOne) {
    CreateBoth();
    ASSERT_TRUE(FindBoth());
    HidDeviceInfo first;
    ASSERT_EQ(hid.OpenHidDevice(irPath, true, true, true, true, false, &first), HID_OPEN_OK)
        << std::strerror(errno);
    EXPECT_TRUE(first.exclusive);

    // hidraw itself lets anyone open the node again; only the lock keeps us alone.
    HidHandle plain(::open(irPath, O_RDWR | O_CLOEXEC));
    EXPECT_TRUE(plain) << std::strerror(errno);

    HidDeviceInfo second;
    EXPECT_EQ(hid.OpenHidDevice(irPath, true, true, true, true, false, &second), HID_OPEN_FAILED);
    EXPECT_EQ(errno, EWOULDBLOCK);
    EXPECT_FALSE(second.handle);

    // The other receiver is not affected, and the lock goes with the handle.
    HidDeviceInfo other;
    EXPECT_EQ(hid.OpenHidDevice(gamePath, true, true, true, true, false, &other), HID_OPEN_OK);
    first.handle.Close();
    EXPECT_EQ(hid.OpenHidDevice(irPath, true, true, true, true, false, &second), HID_OPEN_OK);
}

TEST_F(KernelHidTest, EachReadIsOneWholeReportWithoutReportId) {
    CreateBoth();
    ASSERT_TRUE(FindBoth());
    HidDeviceInfo irInfo;
    HidDeviceInfo gameInfo;
    ASSERT_EQ(hid.OpenHidDevice(irPath, true, true, true, true, false, &irInfo), HID_OPEN_OK);
    ASSERT_EQ(hid.OpenHidDevice(gamePath, true, true, true, true, false, &gameInfo), HID_OPEN_OK);

    const Bytes irReports[] = {{0x03, 0x01, 0x22, 0xB0, 0x26, 0x05},
                               {0x03, 0x01, 0x22, 0xB0, 0xA6, 0x01}};
    const Bytes gameReport = {0x05, 0x40, 0x40, 0x00, 0x02};
    // Back to back: each must still come as a read of its own.
    ASSERT_TRUE(ir.Input(irReports[0]));
    ASSERT_TRUE(ir.Input(irReports[1]));
    ASSERT_TRUE(game.Input(gameReport));

    std::uint8_t buffer[64];
    for (const Bytes& expected : irReports) {
        const HidReadResult read = ReadHidReport(irInfo.handle.Get(), -1, buffer, 5000);
        ASSERT_EQ(read.status, HidReadStatus::Report);
        EXPECT_EQ(Bytes(buffer, buffer + read.size), expected);
    }
    const HidReadResult read = ReadHidReport(gameInfo.handle.Get(), -1, buffer, 5000);
    ASSERT_EQ(read.status, HidReadStatus::Report);
    EXPECT_EQ(Bytes(buffer, buffer + read.size), gameReport);

    // Nothing else is queued.
    EXPECT_EQ(ReadHidReport(irInfo.handle.Get(), -1, buffer, 100).status, HidReadStatus::Timeout);
}

TEST_F(KernelHidTest, DestroyEndsAWaitingReadAfterTheQueuedReport) {
    CreateBoth();
    ASSERT_TRUE(FindBoth());
    HidDeviceInfo info;
    ASSERT_EQ(hid.OpenHidDevice(gamePath, true, true, true, true, false, &info), HID_OPEN_OK);

    ASSERT_TRUE(game.Input({0x05, 0x40, 0x40, 0x00, 0x01}));
    ASSERT_TRUE(PollUntil([&] {
        pollfd p{info.handle.Get(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }));
    game.Destroy();

    std::uint8_t buffer[64];
    HidReadResult read = ReadHidReport(info.handle.Get(), -1, buffer, 5000);
    ASSERT_EQ(read.status, HidReadStatus::Report);
    EXPECT_EQ(read.size, 5u);

    // Well inside the time-out: the unplug wakes the poll itself.
    const auto start = std::chrono::steady_clock::now();
    read = ReadHidReport(info.handle.Get(), -1, buffer, 5000);
    EXPECT_EQ(read.status, HidReadStatus::Failed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_TRUE(PollUntil([&] { return ::access(gamePath, F_OK) != 0; }));
}

// The kernel keeps a bounded queue per open file and drops what comes while it is
// full; what it keeps comes whole and in order.
TEST_F(KernelHidTest, BurstNobodyReadsKeepsTheFirstReportsInOrder) {
    CreateBoth();
    ASSERT_TRUE(FindBoth());
    HidDeviceInfo info;
    ASSERT_EQ(hid.OpenHidDevice(irPath, true, true, true, true, false, &info), HID_OPEN_OK);

    constexpr int kBurst = 200;
    for (int i = 0; i < kBurst; ++i)
        ASSERT_TRUE(ir.Input(IrReport(static_cast<IrScanCode>(0x1000 + i))));

    std::vector<int> kept;
    std::uint8_t buffer[64];
    for (;;) {
        const HidReadResult read = ReadHidReport(info.handle.Get(), -1, buffer, 200);
        if (read.status != HidReadStatus::Report)
            break;
        ASSERT_EQ(read.size, ReceiverMonitor::kIrReportSize);
        kept.push_back((buffer[4] << 8 | buffer[5]) - 0x1000);
    }
    std::fprintf(stderr, "kernel queue: kept %zu of %d reports, dropped %zu\n", kept.size(), kBurst,
                 kBurst - kept.size());
    ASSERT_FALSE(kept.empty());
    EXPECT_LT(kept.size(), static_cast<std::size_t>(kBurst));
    // Nothing reordered, nothing invented: the oldest ones, one after another.
    for (std::size_t i = 0; i < kept.size(); ++i)
        ASSERT_EQ(kept[i], static_cast<int>(i));

    // The node works on after the overflow.
    ASSERT_TRUE(ir.Input(IrReport(0x2605)));
    const HidReadResult read = ReadHidReport(info.handle.Get(), -1, buffer, 5000);
    ASSERT_EQ(read.status, HidReadStatus::Report);
    EXPECT_EQ(Bytes(buffer, buffer + read.size), IrReport(0x2605));
}

// The read loop keeps up with a receiver that sends without pause: a full-speed USB
// interrupt endpoint delivers at most 1000 reports a second (a real receiver about
// 10), and at that rate nothing may be lost. Higher rates only tell how much room
// there is; the figures go to the log.
TEST_F(KernelHidTest, ReadLoopSustainsTheFullSpeedReportRate) {
    CreateBoth();
    ASSERT_TRUE(FindBoth());
    TraceCapture trace;
    g_bRunning = true;
    KeyQueue queue;
    ReceiverMonitor monitor(&hid, &queue);
    std::strcpy(monitor.m_szIrPath, irPath);
    ASSERT_TRUE(monitor.OpenIrReceiver());
    WorkerThread reader;
    ASSERT_TRUE(reader.Start([&] { monitor.ReadIrReports(); }));
    auto runAt = [&](int rate) {
        // Half a second each: enough to fill the kernel's 64 many times over.
        const ReportRateRun run = RunAtReportRate(
            queue, rate, rate / 2, [&](IrScanCode code) { return ir.Input(IrReport(code)); },
            [&] { return static_cast<int>(trace.Count("[KEYWARDEN]KeyQueue full!")); });
        std::fprintf(stderr,
                     "read loop at %d reports/s: %d sent in %.2f s, %d lost (%d in the key "
                     "queue), largest backlog on the node %d\n",
                     rate, run.sent, run.seconds, run.lost, run.queueDrops, run.maxBacklog);
        EXPECT_EQ(run.sent, rate / 2);
        EXPECT_EQ(run.reordered, 0);
        return run.lost;
    };
    // Under software emulation a virtual CPU can stall for tens of milliseconds, which
    // no reader survives; a read loop too slow for this rate loses in both tries.
    EXPECT_TRUE(runAt(1000) == 0 || runAt(1000) == 0);
    int sustained = 1000;
    for (const int rate : {2000, 5000, 10000, 20000}) {
        if (runAt(rate) != 0)
            break;
        sustained = rate;
    }
    std::fprintf(stderr, "read loop: %d reports/s sustained without a loss\n", sustained);
    StopRunning();
    reader.Join();
}

// A dialog whose highlight of one key blocks until the test opens the gate: a
// dispatcher kept busy while reports pour in.
class GatedDialog : public RecordingDialog {
public:
    void HighlightKey(KeyId key) override {
        RecordingDialog::HighlightKey(key);
        std::unique_lock lock(m_gateMutex);
        m_gateCv.wait(lock, [&] { return m_open || key != m_blockedKey; });
    }
    void CloseFor(KeyId key) {
        std::lock_guard lock(m_gateMutex);
        m_blockedKey = key;
        m_open = false;
    }
    void Open() {
        {
            std::lock_guard lock(m_gateMutex);
            m_open = true;
        }
        m_gateCv.notify_all();
    }

private:
    std::mutex m_gateMutex;
    std::condition_variable m_gateCv;
    bool m_open = true;
    KeyId m_blockedKey = 0;
};

// Whole receiver threads with their dispatchers, reporting to a dialog.
class KernelReceiverThreadsTest : public KernelHidTest {
protected:
    void SetUp() override {
        KernelHidTest::SetUp();
        DrainKeyQueue(GetKeyQueue());
    }
    void TearDown() override {
        dialog.Open();
        Stop();
        if (HasFailure()) {
            for (const auto& line : trace.Lines())
                std::fprintf(stderr, "trace: %s\n", line.c_str());
        }
    }

    bool Stop(std::chrono::milliseconds limit = 5s) {
        return StopReceiverThreads(irThread, gameThread, limit);
    }
    bool WaitStatuses(DialogCall::Kind kind, std::vector<int> expected,
                      std::chrono::milliseconds timeout = 5s) {
        return dialog.WaitUntil([&](const Calls& c) { return Statuses(c, kind) == expected; },
                                timeout);
    }
    bool WaitForCalls(const DialogCall& call, std::ptrdiff_t count = 1) {
        return dialog.WaitUntil(
            [&](const Calls& c) { return std::count(c.begin(), c.end(), call) >= count; });
    }

    ReceiverMonitor monitor{&hid};
    GatedDialog dialog;
    TraceCapture trace;
    WorkerThread irThread;
    WorkerThread gameThread;
};

TEST_F(KernelReceiverThreadsTest, ReceiversReadUnplugReplugAndStop) {
    g_bRunning = true;
    CreateBoth();
    ASSERT_TRUE(irThread.Start([this] { RunIrReceiverThread(&monitor, &dialog); }));
    ASSERT_TRUE(gameThread.Start([this] { RunGameReceiverThread(&monitor, &dialog); }));
    ASSERT_TRUE(WaitStatuses(DialogCall::IrStatus, {0})) << Describe(dialog.Calls());
    ASSERT_TRUE(WaitStatuses(DialogCall::GameStatus, {0})) << Describe(dialog.Calls());

    // IR code 0x2605 is key 53; game pad 0x40400002 is key 4101.
    ASSERT_TRUE(ir.Input({0x03, 0x01, 0x22, 0xB0, 0x26, 0x05}));
    EXPECT_TRUE(WaitForCalls(HighlightCall(53))) << Describe(dialog.Calls());
    ASSERT_TRUE(game.Input({0x05, 0x40, 0x40, 0x00, 0x02}));
    EXPECT_TRUE(WaitForCalls(HighlightCall(4101))) << Describe(dialog.Calls());

    // A report that fails the validity bits is traced and goes no further. One with a
    // report ID the descriptor does not declare never reaches a reader: the kernel
    // drops it, so the game pad's next report is the first it reads after 4101.
    ASSERT_TRUE(ir.Input({0x03, 0x00, 0x22, 0xB0, 0x26, 0x06}));
    ASSERT_TRUE(game.Input({0x02, 0x40, 0x40, 0x00, 0x01}));
    ASSERT_TRUE(game.Input({0x05, 0x40, 0x40, 0x00, 0x01}));
    EXPECT_TRUE(WaitForCalls(HighlightCall(4102))) << Describe(dialog.Calls());
    EXPECT_TRUE(PollUntil([&] {
        return trace.Count("[KEYWARDEN] Invalid ScanCode ignored: 22b02606") == 1;
    })) << Describe(dialog.Calls());
    EXPECT_EQ(trace.Count("[KEYWARDEN] Invalid ScanCode ignored: 40400001"), 0u);

    // The whole frame at once: the kernel queues it, the decoder takes it apart.
    for (IrScanCode code : TokenFrame())
        ASSERT_TRUE(ir.Input(IrReport(code)));
    EXPECT_TRUE(WaitForCalls(TakenCall("12345678987654321"))) << Describe(dialog.Calls());
    EXPECT_TRUE(WaitForCalls(ResultCall(0))) << Describe(dialog.Calls());
    const Calls afterToken = dialog.Calls();
    EXPECT_EQ(std::count(afterToken.begin(), afterToken.end(), HighlightCall(54)), 0);

    // Unplug: reading ends, then the receiver is not found, once. (devtmpfs changes
    // the node's attributes just before removing it; that is no arrival.)
    ir.Destroy();
    ASSERT_TRUE(WaitStatuses(DialogCall::IrStatus, {0, 2, 1})) << Describe(dialog.Calls());
    ASSERT_TRUE(PollUntil([] { return OrvaneNodes() == 1; }));

    // Plugged back in: found at once through the arrival watcher, not after 45 s.
    const std::size_t searches = trace.Count("[KEYWARDEN] Main loop, Finding Orvane device.");
    ASSERT_TRUE(ir.Create("Orvane IR receiver", kIrReceiverDescriptor));
    const auto plugged = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitStatuses(DialogCall::IrStatus, {0, 2, 1, 0}, 10s)) << Describe(dialog.Calls());
    const auto found = std::chrono::steady_clock::now() - plugged;
    EXPECT_LT(found, 3s);
    EXPECT_EQ(trace.Count("[KEYWARDEN] Main loop, Finding Orvane device."), searches + 1);
    std::fprintf(stderr, "IR receiver: reading %lld ms after the replug\n",
                 static_cast<long long>(
                     std::chrono::duration_cast<std::chrono::milliseconds>(found).count()));
    ASSERT_TRUE(ir.Input({0x03, 0x01, 0x22, 0xB0, 0x26, 0x05}));
    EXPECT_TRUE(WaitForCalls(HighlightCall(53), 2)) << Describe(dialog.Calls());
    EXPECT_EQ(Statuses(dialog.Calls(), DialogCall::GameStatus), std::vector<int>{0});

    // Well below the read time-out and the waiting pass: nothing is sat out.
    EXPECT_TRUE(Stop(900ms));
    EXPECT_EQ(trace.Count("[KEYWARDEN] ServiceBegin RETURN!"), 2u);
    EXPECT_EQ(trace.Count("[KEYWARDEN] DispatcherThread Stopped."), 1u);
    EXPECT_EQ(trace.Count("[KEYWARDEN] DispatcherThreadForGameController Stopped."), 1u);
    EXPECT_FALSE(monitor.WatchingArrivals());
    EXPECT_FALSE(monitor.m_hIrDevice);
    EXPECT_FALSE(monitor.m_hGameDevice);
}

// 200 reports while the dispatcher is stuck in the dialog: the key queue fills and
// drops the rest, the kernel drops what comes while its own queue for the receiver
// is full, and what gets through comes in the order it was sent. Sent in one go, or
// in steps of 50 that the receiver takes in before the next (no kernel drops then).
class KernelBurstTest : public KernelReceiverThreadsTest,
                        public ::testing::WithParamInterface<int> {};

TEST_P(KernelBurstTest, BurstWhileTheDispatcherIsBusy) {
    const int step = GetParam();
    // Twenty keys, each sent ten times with the toggle bit flipping, so that every
    // report is a new press and its key tells its place in the burst.
    const std::pair<IrScanCode, int> keys[] = {
        {0x2601, 49}, {0x2602, 50}, {0x2603, 51},  {0x2604, 52},  {0x2606, 54},
        {0x2607, 55}, {0x2608, 56}, {0x2609, 57},  {0x2600, 48},  {0x2658, 38},
        {0x2659, 40}, {0x265A, 37}, {0x265B, 39},  {0x2688, 233}, {0x260C, 234},
        {0x2634, 8},  {0x2635, 13}, {0x260D, 173}, {0x264E, 27},  {0x2610, 175}};
    constexpr int kPerKey = 10;
    constexpr int kBurst = 20 * kPerKey;
    auto block = [&](int key) {
        for (int j = 0; j < 20; ++j) {
            if (keys[j].second == key)
                return j;
        }
        return -1;
    };

    g_bRunning = true;
    CreateBoth();
    ASSERT_TRUE(irThread.Start([this] { RunIrReceiverThread(&monitor, &dialog); }));
    ASSERT_TRUE(gameThread.Start([this] { RunGameReceiverThread(&monitor, &dialog); }));
    ASSERT_TRUE(WaitStatuses(DialogCall::IrStatus, {0})) << Describe(dialog.Calls());

    dialog.CloseFor(53);
    ASSERT_TRUE(ir.Input(IrReport(0x2605)));
    ASSERT_TRUE(WaitForCalls(HighlightCall(53))) << Describe(dialog.Calls());

    auto takenIn = [&] {
        return monitor.m_pKeyQueue->IrCount() + trace.Count("[KEYWARDEN]KeyQueue full!");
    };
    for (int i = 0; i < kBurst; ++i) {
        const auto code = static_cast<IrScanCode>(keys[i / kPerKey].first | (i % 2 ? 0x8000 : 0));
        ASSERT_TRUE(ir.Input(IrReport(code)));
        if (step < kBurst && (i + 1) % step == 0) {
            const auto sent = static_cast<std::size_t>(i + 1);
            ASSERT_TRUE(PollUntil([&] { return takenIn() == sent; })) << takenIn();
        }
    }
    // The read loop takes reports in order, so once it has traced this invalid one
    // it has dealt with the whole burst. Sent again while the kernel drops it.
    const Bytes marker = {0x03, 0x00, 0xDE, 0xAD, 0xBE, 0xEF};
    ASSERT_TRUE(PollUntil([&] {
        if (trace.Count("[KEYWARDEN] Invalid ScanCode ignored: deadbeef") > 0)
            return true;
        ir.Input(marker);
        return false;
    }));

    const std::size_t queued = monitor.m_pKeyQueue->IrCount();
    const std::size_t queueDrops = trace.Count("[KEYWARDEN]KeyQueue full!");
    ASSERT_LE(queued + queueDrops, static_cast<std::size_t>(kBurst));
    const std::size_t kernelDrops = kBurst - queued - queueDrops;
    std::fprintf(stderr,
                 "burst of %d: %zu queued, %zu dropped by the key queue, %zu by the kernel\n",
                 kBurst, queued, queueDrops, kernelDrops);
    EXPECT_LE(queued, KeyQueue::kCapacity);
    if (queueDrops > 0) {
        EXPECT_EQ(queued, KeyQueue::kCapacity);
    }
    if (step < kBurst) {
        EXPECT_EQ(kernelDrops, 0u);
        EXPECT_EQ(queued, KeyQueue::kCapacity);
        EXPECT_EQ(queueDrops, kBurst - KeyQueue::kCapacity);
    }

    // Free the dispatcher: it presses every queued key in turn, then lets go.
    dialog.Open();
    auto burstHighlights = [](const Calls& calls) {
        std::vector<int> keysSeen;
        bool afterFirst = false;
        for (const auto& c : calls) {
            if (c.kind != DialogCall::Highlight)
                continue;
            if (afterFirst)
                keysSeen.push_back(c.value);
            afterFirst = afterFirst || c.value == 53;
        }
        return keysSeen;
    };
    ASSERT_TRUE(dialog.WaitUntil([&](const Calls& c) {
        return burstHighlights(c).size() >= queued && !c.empty() && c.back() == ClearCall();
    })) << Describe(dialog.Calls());
    const std::vector<int> seen = burstHighlights(dialog.Calls());
    ASSERT_EQ(seen.size(), queued) << Describe(dialog.Calls());
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), keys[0].second);
    int last = 0;
    std::vector<int> perBlock(20, 0);
    for (int key : seen) {
        const int b = block(key);
        ASSERT_GE(b, last) << "key " << key << " out of order in " << Describe(dialog.Calls());
        last = b;
        EXPECT_LE(++perBlock[static_cast<std::size_t>(b)], kPerKey);
    }
    EXPECT_EQ(monitor.m_pKeyQueue->IrCount(), 0u);

    // The receiver goes on as before.
    ASSERT_TRUE(ir.Input(IrReport(0x2605)));
    EXPECT_TRUE(WaitForCalls(HighlightCall(53), 2)) << Describe(dialog.Calls());
    EXPECT_TRUE(Stop(900ms));
}

INSTANTIATE_TEST_SUITE_P(Pace, KernelBurstTest, ::testing::Values(200, 50),
                         [](const auto& param) { return "Step" + std::to_string(param.param); });

TEST_F(KernelReceiverThreadsTest, StopWhileWaitingForAMissingReceiver) {
    g_bRunning = true;
    ASSERT_TRUE(irThread.Start([this] { RunIrReceiverThread(&monitor, &dialog); }));
    ASSERT_TRUE(gameThread.Start([this] { RunGameReceiverThread(&monitor, &dialog); }));
    ASSERT_TRUE(WaitStatuses(DialogCall::IrStatus, {1})) << Describe(dialog.Calls());
    ASSERT_TRUE(WaitStatuses(DialogCall::GameStatus, {1})) << Describe(dialog.Calls());
    EXPECT_TRUE(Stop(900ms));
    EXPECT_EQ(trace.Count("[KEYWARDEN] ServiceBegin RETURN!"), 2u);
}

// The demo scenario's recording made real through /dev/uhid: the receiver threads find
// the devices, read them and decode the scenario's keys and token frames, while a
// recorder reads the same nodes alongside them (the threads hold the exclusive lock)
// and gets back every report that was sent.
TEST_F(KernelReceiverThreadsTest, RecordingReplayedThroughUhidIsDecodedAndRecordedAgain) {
    RecordingError fault;
    const std::optional<HidRecording> recording = ParseHidRecording(DemoRecordingText(), &fault);
    ASSERT_TRUE(recording) << fault.Describe();
    ASSERT_EQ(recording->devices.size(), 2u);

    g_bRunning = true;
    ASSERT_TRUE(irThread.Start([this] { RunIrReceiverThread(&monitor, &dialog); }));
    ASSERT_TRUE(gameThread.Start([this] { RunGameReceiverThread(&monitor, &dialog); }));
    ASSERT_TRUE(WaitStatuses(DialogCall::IrStatus, {1})) << Describe(dialog.Calls());
    ASSERT_TRUE(WaitStatuses(DialogCall::GameStatus, {1})) << Describe(dialog.Calls());
    UhidTarget uhid;
    std::string error;
    ASSERT_TRUE(uhid.Create(*recording, &error)) << error;
    // Found once the kernel has made them (a search between the two arrivals may
    // report "not found" once more).
    for (auto kind : {DialogCall::IrStatus, DialogCall::GameStatus}) {
        ASSERT_TRUE(dialog.WaitUntil(
            [&](const Calls& c) {
                const std::vector<int> statuses = Statuses(c, kind);
                return !statuses.empty() && statuses.back() == 0;
            },
            10s))
            << Describe(dialog.Calls());
    }

    ASSERT_TRUE(FindBoth());
    HidRecorder recorder;
    ASSERT_TRUE(recorder.Open(hid, {irPath, gamePath}, &error)) << error;
    EXPECT_EQ(recorder.Devices()[0].descriptor, recording->devices[0].descriptor);
    EXPECT_EQ(recorder.Devices()[1].descriptor, recording->devices[1].descriptor);
    EXPECT_EQ(recorder.Devices()[0].name, recording->devices[0].name);
    EXPECT_EQ(recorder.Devices()[1].phys, recording->devices[1].phys);
    EXPECT_EQ(recorder.Devices()[0].bus, 3);
    WakeSignal stopRecording;
    std::mutex recordedMutex;
    std::vector<RecordedEvent> recorded;
    std::thread reader([&] {
        recorder.Run(
            stopRecording.Fd(),
            [&](std::size_t device, std::uint64_t usec, std::span<const std::uint8_t> data) {
                std::lock_guard lock(recordedMutex);
                recorded.push_back({device, usec, {data.begin(), data.end()}});
            },
            [](std::size_t, std::uint64_t, int) {});
    });

    // Ten times as fast: the minute of the scenario in six seconds.
    WakeSignal never;
    const ReplayResult result = PlayRecording(*recording, uhid, {10.0, true}, never.Fd());
    EXPECT_EQ(result.end, ReplayEnd::Done) << result.error;
    EXPECT_EQ(result.sent, recording->events.size());

    // Every token frame decoded, in order.
    const std::vector<std::string> frames = DemoRecordingFrames();
    ASSERT_TRUE(dialog.WaitUntil(
        [&](const Calls& calls) {
            return std::count_if(calls.begin(), calls.end(), [](const DialogCall& c) {
                       return c.kind == DialogCall::TokenTaken;
                   }) >= static_cast<std::ptrdiff_t>(frames.size());
        },
        10s))
        << Describe(dialog.Calls());
    std::vector<std::string> taken;
    std::vector<int> keys;
    for (const DialogCall& c : dialog.Calls()) {
        if (c.kind == DialogCall::TokenTaken)
            taken.push_back(c.digits);
        // A key highlighted again at once is the same press (the two receivers share
        // the highlight, and at ten times the speed their presses come close).
        if (c.kind == DialogCall::Highlight && c.value != kTokenKeyId &&
            (keys.empty() || keys.back() != c.value))
            keys.push_back(c.value);
    }
    EXPECT_EQ(taken, frames);
    EXPECT_EQ(keys, DemoRecordingKeys()) << Describe(dialog.Calls());

    // Recorded again: the same reports, device by device.
    EXPECT_TRUE(PollUntil([&] {
        std::lock_guard lock(recordedMutex);
        return recorded.size() >= recording->events.size();
    }));
    stopRecording.Signal();
    reader.join();
    for (std::size_t device : {0u, 1u}) {
        std::vector<Bytes> sent, got;
        for (const RecordedEvent& e : recording->events) {
            if (e.device == device)
                sent.push_back(e.data);
        }
        for (const RecordedEvent& e : recorded) {
            if (e.device == device)
                got.push_back(e.data);
        }
        EXPECT_EQ(got, sent) << "device " << device;
    }
    EXPECT_TRUE(Stop(900ms));
    uhid.Destroy();
}

}  // namespace
