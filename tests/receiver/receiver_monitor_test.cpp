#include "receiver/receiver_monitor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "decode/key_dispatcher.h"
#include "platform/process/running.h"
#include "platform/process/trace.h"
#include "platform/process/worker_thread.h"
#include "tests/support/fake_hid_bus.h"
#include "tests/support/receiver_threads.h"
#include "tests/support/recording_dialog.h"

namespace {

using namespace std::chrono_literals;
using Calls = std::vector<DialogCall>;

// Read loops alone, over their own queue: what reaches the queue, what ends a loop.
class ReadLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_bRunning = true;
        bus.PlugReceiver(0, kIrReceiverDescriptor);
        bus.PlugReceiver(1, kGamePadDescriptor);
        std::strcpy(monitor.m_szIrPath, bus.NodePath(0).c_str());
        std::strcpy(monitor.m_szGamePath, bus.NodePath(1).c_str());
        ASSERT_TRUE(monitor.OpenIrReceiver());
        ASSERT_TRUE(monitor.OpenGameReceiver());
    }
    void TearDown() override {
        StopRunning();
        reader.Join();
    }

    void StartIr() {
        ASSERT_TRUE(reader.Start([this] { monitor.ReadIrReports(); }));
    }
    void StartGame() {
        ASSERT_TRUE(reader.Start([this] { monitor.ReadGameReports(); }));
    }

    std::vector<IrScanCode> TakeIr(std::size_t n) {
        std::vector<IrScanCode> codes;
        IrScanCode code = 0;
        while (codes.size() < n && queue.PopIrKey(&code, 5000))
            codes.push_back(code);
        return codes;
    }

    FakeHidBus bus;
    KeyQueue queue;
    ReceiverMonitor monitor{&bus, &queue};
    TraceCapture trace;
    WorkerThread reader;
};

TEST_F(ReadLoopTest, IrReportsArePushedInOrder) {
    StartIr();
    ASSERT_TRUE(bus.Send(0, {0x03, 0x01, 0x22, 0xB0, 0x26, 0x05}));
    ASSERT_TRUE(bus.Send(0, {0x00, 0x01, 0x22, 0xB0, 0x26, 0x05}));  // byte 0 lacks 0x03
    ASSERT_TRUE(bus.Send(0, {0x07, 0x03, 0x7F, 0xF0, 0xA6, 0x01}));  // extra bits, toggle set
    ASSERT_TRUE(bus.Send(0, {0x03, 0x01, 0x00, 0x0B, 0x00, 0x05}));  // shows without zeros
    ASSERT_TRUE(bus.Send(0, {0x03, 0x01, 0x22, 0xB0, 0x7F, 0x97}));
    EXPECT_EQ(TakeIr(3), (std::vector<IrScanCode>{0x2605, 0xA601, 0x7F97}));
    EXPECT_EQ(trace.Count("[KEYWARDEN] Invalid ScanCode ignored: 22b02605"), 1u);
    EXPECT_EQ(trace.Count("[KEYWARDEN] Invalid ScanCode ignored: b0005"), 1u);
}

TEST_F(ReadLoopTest, GameReportsArePushed) {
    StartGame();
    ASSERT_TRUE(bus.Send(1, {0x05, 0x40, 0x40, 0x00, 0x02}));
    ASSERT_TRUE(bus.Send(1, {0x04, 0x40, 0x40, 0x00, 0x01}));
    ASSERT_TRUE(bus.Send(1, {0x0D, 0x00, 0x40, 0x00, 0x00}));
    GameScanCode code = 0;
    ASSERT_TRUE(queue.PopGameKey(&code, 5000));
    EXPECT_EQ(code, 0x40400002u);
    ASSERT_TRUE(queue.PopGameKey(&code, 5000));
    EXPECT_EQ(code, 0x00400000u);
    EXPECT_EQ(trace.Count("[KEYWARDEN] Invalid ScanCode ignored: 40400001"), 1u);
    EXPECT_EQ(queue.IrCount(), 0u);
}

TEST_F(ReadLoopTest, WhatEndsAReadLoop) {
    // A short report, even from a device still present.
    StartIr();
    ASSERT_TRUE(bus.Send(0, {0x03, 0x01, 0x22, 0xB0, 0x26}));
    EXPECT_TRUE(reader.WaitFor(5s));
    reader.Join();

    // An unplug, after the reports already queued are taken.
    StartGame();
    ASSERT_TRUE(bus.Send(1, {0x05, 0x40, 0x40, 0x00, 0x01}));
    bus.HangUp(1);
    EXPECT_TRUE(reader.WaitFor(5s));
    reader.Join();
    EXPECT_EQ(queue.GameCount(), 1u);

    // A stop, without waiting out the read's time-out.
    ASSERT_TRUE(monitor.OpenIrReceiver());
    StartIr();
    StopRunning();
    EXPECT_TRUE(reader.WaitFor(900ms));
}

// Whole receiver threads with their dispatchers, reporting to a dialog.
class ReceiverThreadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_bRunning = true;
        DrainKeyQueue(GetKeyQueue());
    }
    void TearDown() override { Stop(); }

    void Start(bool withGame = true) {
        ASSERT_TRUE(irThread.Start([this] { RunIrReceiverThread(&monitor, &dialog); }));
        if (withGame) {
            ASSERT_TRUE(gameThread.Start([this] { RunGameReceiverThread(&monitor, &dialog); }));
        }
    }
    // True when every thread ended within `limit` of the stop.
    bool Stop(std::chrono::milliseconds limit = 5s) {
        return StopReceiverThreads(irThread, gameThread, limit);
    }
    bool WaitIrStatuses(std::vector<int> expected) {
        return dialog.WaitUntil(
            [&](const Calls& c) { return Statuses(c, DialogCall::IrStatus) == expected; });
    }
    bool WaitGameStatuses(std::vector<int> expected) {
        return dialog.WaitUntil(
            [&](const Calls& c) { return Statuses(c, DialogCall::GameStatus) == expected; });
    }
    bool WaitForCall(const DialogCall& call) {
        return dialog.WaitUntil(
            [&](const Calls& c) { return std::find(c.begin(), c.end(), call) != c.end(); });
    }

    FakeHidBus bus;
    ReceiverMonitor monitor{&bus};
    RecordingDialog dialog;
    TraceCapture trace;
    WorkerThread irThread;
    WorkerThread gameThread;
};

TEST_F(ReceiverThreadsTest, KeysFromBothReceiversReachTheDecoder) {
    bus.PlugReceiver(3, kGamePadDescriptor);
    bus.PlugReceiver(7, kIrReceiverDescriptor);
    Start();
    ASSERT_TRUE(WaitIrStatuses({0})) << Describe(dialog.Calls());
    ASSERT_TRUE(WaitGameStatuses({0})) << Describe(dialog.Calls());
    ASSERT_TRUE(bus.WaitForOpens(7, 1));
    ASSERT_TRUE(bus.WaitForOpens(3, 1));

    ASSERT_TRUE(bus.Send(7, {0x03, 0x01, 0x22, 0xB0, 0x26, 0x01}));
    ASSERT_TRUE(bus.Send(7, {0x03, 0x01, 0x22, 0xB0, 0x26, 0x05}));
    ASSERT_TRUE(dialog.WaitUntil([](const Calls& c) {
        return std::count(c.begin(), c.end(), ClearCall()) >= 2;
    })) << Describe(dialog.Calls());
    Calls keys;
    for (const auto& c : dialog.Calls()) {
        if (c.kind == DialogCall::Highlight || c.kind == DialogCall::Clear)
            keys.push_back(c);
    }
    EXPECT_EQ(keys, (Calls{HighlightCall(49), ClearCall(), HighlightCall(53), ClearCall()}))
        << Describe(keys);

    ASSERT_TRUE(bus.Send(3, {0x05, 0x40, 0x40, 0x00, 0x02}));
    EXPECT_TRUE(WaitForCall(HighlightCall(4101))) << Describe(dialog.Calls());

    const Calls calls = dialog.Calls();
    EXPECT_EQ(Statuses(calls, DialogCall::IrStatus), std::vector<int>{0});
    EXPECT_EQ(Statuses(calls, DialogCall::GameStatus), std::vector<int>{0});
}

TEST_F(ReceiverThreadsTest, ShortReportEndsReadingAndTheReceiverIsFoundAgain) {
    bus.PlugReceiver(0, kIrReceiverDescriptor);
    Start(false);
    ASSERT_TRUE(bus.WaitForOpens(0, 1));
    ASSERT_TRUE(bus.Send(0, {0x03, 0x01, 0x22}));
    ASSERT_TRUE(bus.WaitForOpens(0, 2));
    EXPECT_TRUE(WaitIrStatuses({0, 2, 0})) << Describe(dialog.Calls());
}

TEST_F(ReceiverThreadsTest, UnplugThenArrivalSearchesAtOnce) {
    // Only the arrival can end this wait within the test's patience.
    monitor.SetWaitPassLength(1h);
    bus.PlugReceiver(0, kIrReceiverDescriptor);
    Start(false);
    ASSERT_TRUE(WaitIrStatuses({0}));
    bus.Unplug(0);
    ASSERT_TRUE(WaitIrStatuses({0, 2, 1})) << Describe(dialog.Calls());
    EXPECT_EQ(trace.Count("[KEYWARDEN] Main loop, device not located."), 1u);

    bus.PlugReceiver(0, kIrReceiverDescriptor);
    EXPECT_TRUE(WaitIrStatuses({0, 2, 1, 0})) << Describe(dialog.Calls());
}

TEST_F(ReceiverThreadsTest, AccessGrantedAfterArrivalCountsAsArrival) {
    monitor.SetWaitPassLength(1h);
    Start(false);
    ASSERT_TRUE(WaitIrStatuses({1}));
    // The node appears before udev lets the user open it: found, open refused.
    bus.PlugReceiver(0, kIrReceiverDescriptor, true);
    ASSERT_TRUE(trace.WaitFor(
        "[KEYWARDEN] OpenHidDevice error -1 : GetLastError: " + std::to_string(EACCES) + "."));
    ASSERT_TRUE(WaitIrStatuses({1, 1}));
    bus.Grant(0);
    EXPECT_TRUE(WaitIrStatuses({1, 1, 0})) << Describe(dialog.Calls());
}

TEST_F(ReceiverThreadsTest, MissingReceiverIsSearchedForAgainAfterTheWait) {
    // Thirty passes from one search to the next (the real pass is 1500 ms: 45 s).
    monitor.SetWaitPassLength(10ms);
    Start();
    ASSERT_TRUE(WaitIrStatuses({1, 1, 1}));
    EXPECT_TRUE(WaitGameStatuses({1, 1, 1}));
    EXPECT_GE(trace.Count("[KEYWARDEN] Device not found Error 259."), 6u);
    std::vector<std::chrono::steady_clock::time_point> searches;
    for (const DialogCall& c : dialog.Calls()) {
        if (c.kind == DialogCall::IrStatus)
            searches.push_back(c.at);
    }
    for (std::size_t i = 1; i < 3; ++i) {
        EXPECT_GE(searches[i] - searches[i - 1], 30 * 10ms);
        EXPECT_LT(searches[i] - searches[i - 1], 30 * 10ms + 250ms);
    }
}

// What the program's own threads (HID, HIDForGame) and its exit use, where the tests
// above shorten them.
TEST(ReceiverPeriods, TheRealOnes) {
    const ReceiverMonitor& real = *GetReceiverMonitor();
    EXPECT_EQ(real.WaitPassLength(), 1500ms);
    EXPECT_EQ(ReceiverMonitor::kWaitPasses * real.WaitPassLength(), 45s);
    EXPECT_EQ(ReceiverMonitor::kDispatcherWait, 4000ms);
    EXPECT_EQ(kReceiverExitWait, 5000ms);
}

// The exit waits for both receiver threads within one bound in all, and leaves a thread
// that outlives it to end by itself.
TEST(EndReceiverThreads, GivesUpAtItsBound) {
    TraceCapture trace;
    g_bRunning = true;
    std::atomic<bool> release{false};
    auto linger = [&] {
        while (!release)
            std::this_thread::sleep_for(1ms);
    };
    WorkerThread ir;
    WorkerThread game;
    ASSERT_TRUE(ir.Start(linger));
    ASSERT_TRUE(game.Start(linger));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(EndReceiverThreads(ir, game, 300ms));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 300ms);
    EXPECT_LT(waited, 300ms + 250ms) << "the game thread got a bound of its own";
    EXPECT_FALSE(g_bRunning);
    EXPECT_EQ(trace.Count("[KEYWARDEN] HID thread still running at exit"), 1u);
    EXPECT_EQ(trace.Count("[KEYWARDEN] HIDForGame thread still running at exit"), 1u);
    release = true;

    // Threads that end at the stop are not waited for any longer than that.
    WorkerThread quick;
    WorkerThread quickGame;
    g_bRunning = true;
    ASSERT_TRUE(quick.Start([] {
        while (g_bRunning)
            std::this_thread::sleep_for(1ms);
    }));
    ASSERT_TRUE(quickGame.Start([] {}));
    EXPECT_TRUE(EndReceiverThreads(quick, quickGame, 5s));
    EXPECT_EQ(trace.Lines().back().rfind("[KEYWARDEN] Receiver threads ended ", 0), 0u);
}

TEST_F(ReceiverThreadsTest, StopEndsEveryThreadPromptly) {
    enum Phase { Reading, Waiting, Decoding };
    for (Phase phase : {Reading, Waiting, Decoding}) {
        SCOPED_TRACE(phase);
        g_bRunning = true;
        dialog.Clear();
        trace.Clear();
        if (phase != Waiting) {
            bus.PlugReceiver(0, kIrReceiverDescriptor);
            bus.PlugReceiver(1, kGamePadDescriptor);
        }
        Start();
        const int expected = phase == Waiting ? 1 : 0;
        ASSERT_TRUE(WaitIrStatuses({expected}));
        ASSERT_TRUE(WaitGameStatuses({expected}));
        if (phase == Decoding) {
            // The token key: the IR dispatcher now reads a frame, waiting 251 ms per code.
            ASSERT_TRUE(bus.WaitForOpens(0, 1));
            ASSERT_TRUE(bus.Send(0, {0x03, 0x01, 0x22, 0xB0, 0x7F, 0x97}));
            ASSERT_TRUE(WaitForCall(HighlightCall(244)));
        }

        // Well below the read time-out and the waiting pass: nothing is sat out.
        EXPECT_TRUE(Stop(600ms));
        EXPECT_EQ(trace.Count("[KEYWARDEN] ServiceBegin RETURN!"), 2u);
        EXPECT_EQ(trace.Count("[KEYWARDEN] DispatcherThread Stopped."), 1u);
        EXPECT_EQ(trace.Count("[KEYWARDEN] DispatcherThreadForGameController Stopped."), 1u);
        EXPECT_FALSE(monitor.WatchingArrivals());
        EXPECT_FALSE(monitor.m_hIrDevice);
        if (phase != Waiting) {
            EXPECT_EQ(Statuses(dialog.Calls(), DialogCall::IrStatus), (std::vector<int>{0, 2}));
            bus.Unplug(0);
            bus.Unplug(1);
        }
    }
}

// While it lives no thread can be created: the default stack is beyond any address
// space. The failure's own code is EAGAIN, while errno is left at the failed
// mapping's ENOMEM.
class NoNewThreads {
public:
    NoNewThreads() {
        pthread_getattr_default_np(&m_old);
        pthread_attr_t huge;
        pthread_getattr_default_np(&huge);
        pthread_attr_setstacksize(&huge, std::size_t{1} << 46);
        EXPECT_EQ(pthread_setattr_default_np(&huge), 0);
        pthread_attr_destroy(&huge);
    }
    ~NoNewThreads() {
        pthread_setattr_default_np(&m_old);
        pthread_attr_destroy(&m_old);
    }

private:
    pthread_attr_t m_old;
};

TEST(DispatcherStart, FailureIsTracedWithItsOwnCodeAndTheLoopStillRuns) {
    FakeHidBus bus;
    KeyQueue queue;
    ReceiverMonitor monitor{&bus, &queue};
    TraceCapture trace;
    g_bRunning = false;  // the main loops end at once
    {
        NoNewThreads noThreads;
        monitor.ServiceBegin(&DispatcherThread);
        monitor.ServiceBeginForGameController(&DispatcherThreadForGameController);
    }
    EXPECT_EQ(trace.Lines(),
              (std::vector<std::string>{
                  "[KEYWARDEN] Create Dispatcher Thread error: " + std::to_string(EAGAIN),
                  "[KEYWARDEN] Create Dispatcher for GameController Thread error: " +
                      std::to_string(EAGAIN)}));

    // A missing entry counts as a thread that could not be created; the receiver is
    // searched for, found and read all the same.
    trace.Clear();
    bus.PlugReceiver(0, kIrReceiverDescriptor);
    g_bRunning = true;
    WorkerThread loop;
    ASSERT_TRUE(loop.Start([&] { monitor.ServiceBegin(nullptr); }));
    ASSERT_TRUE(bus.WaitForOpens(0, 1));
    ASSERT_TRUE(bus.Send(0, {0x03, 0x01, 0x22, 0xB0, 0x26, 0x05}));
    IrScanCode code = 0;
    EXPECT_TRUE(queue.PopIrKey(&code, 5000));
    EXPECT_EQ(code, 0x2605);
    StopRunning();
    EXPECT_TRUE(loop.WaitFor(5s));
    EXPECT_EQ(trace.Count("[KEYWARDEN] Create Dispatcher Thread error: " + std::to_string(EINVAL)),
              1u);
}

}  // namespace

// The exclusive open of a receiver's node, against a holder in another process and in
// this one.
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

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
