#include "receiver/key_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "platform/trace.h"
#include "receiver/running.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class KeyQueueTest : public ::testing::Test {
protected:
    void SetUp() override { g_bRunning = true; }
    void TearDown() override { g_bRunning = false; }
    KeyQueue q;
};

TEST_F(KeyQueueTest, KeepsOrderAndDropsWhenFull) {
    TraceCapture trace;
    for (unsigned i = 0; i < 101; ++i)
        q.PushIrKey(static_cast<IrScanCode>(0x2600 + i));
    for (unsigned i = 0; i < 102; ++i)
        q.PushGameKey(0x40400000u + i);
    EXPECT_EQ(trace.Count("[KEYWARDEN]KeyQueue full!"), 3u);
    EXPECT_EQ(trace.Lines().size(), 3u);
    EXPECT_EQ(q.IrCount(), 100u);
    EXPECT_EQ(q.GameCount(), 100u);

    for (unsigned i = 0; i < 100; ++i) {
        IrScanCode ir = 0;
        GameScanCode game = 0;
        ASSERT_TRUE(q.PopIrKey(&ir, 0));
        ASSERT_TRUE(q.PopGameKey(&game, 0));
        EXPECT_EQ(ir, 0x2600 + i);
        EXPECT_EQ(game, 0x40400000u + i);
    }
    IrScanCode ir = 0x1234;
    EXPECT_FALSE(q.PopIrKey(&ir, 10));
    EXPECT_EQ(ir, 0x1234);
}

TEST_F(KeyQueueTest, TimeOutLeavesPlaceUnchanged) {
    IrScanCode ir = 0xBEEF;
    GameScanCode game = 0xDEADBEEF;
    auto start = Clock::now();
    EXPECT_FALSE(q.PopIrKey(&ir, 60));
    EXPECT_GE(Clock::now() - start, 55ms);
    EXPECT_FALSE(q.PopGameKey(&game, 1));
    EXPECT_EQ(ir, 0xBEEF);
    EXPECT_EQ(game, 0xDEADBEEFu);
}

TEST_F(KeyQueueTest, PushEndsAWaitingTakeAtOnce) {
    auto take = std::async(std::launch::async, [&] {
        IrScanCode code = 0;
        bool ok = q.PopIrKey(&code, 20000);
        return std::make_pair(ok, code);
    });
    // Whether the push lands before or during the wait, the take must see it.
    q.PushIrKey(0x2605);
    ASSERT_EQ(take.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(take.get(), std::make_pair(true, IrScanCode{0x2605}));
}

TEST_F(KeyQueueTest, TakeAfterEmptyingWaitsForTheNextPush) {
    // The event is still signalled after the last code is taken; the next take must
    // clear it and wait out its time-out rather than fail at once.
    q.PushGameKey(1);
    GameScanCode code = 0;
    ASSERT_TRUE(q.PopGameKey(&code, 0));
    auto start = Clock::now();
    EXPECT_FALSE(q.PopGameKey(&code, 80));
    EXPECT_GE(Clock::now() - start, 75ms);
    EXPECT_EQ(code, 1u);
}

TEST_F(KeyQueueTest, QueuesNeverWakeOrSatisfyEachOther) {
    q.PushGameKey(0x40400002);
    IrScanCode ir = 7;
    EXPECT_FALSE(q.PopIrKey(&ir, 30));
    EXPECT_EQ(ir, 7);

    auto irTake = std::async(std::launch::async, [&] {
        IrScanCode c = 7;
        return q.PopIrKey(&c, 150);
    });
    q.PushGameKey(0x40400001);
    EXPECT_FALSE(irTake.get());
    EXPECT_EQ(q.GameCount(), 2u);

    q.PushIrKey(0x2601);
    GameScanCode game = 0;
    ASSERT_TRUE(q.PopGameKey(&game, 0));
    ASSERT_TRUE(q.PopGameKey(&game, 0));
    EXPECT_FALSE(q.PopGameKey(&game, 30));
    EXPECT_EQ(q.IrCount(), 1u);
}

TEST_F(KeyQueueTest, StopRunningWakesEveryWaitingTake) {
    auto ir = std::async(std::launch::async, [&] {
        IrScanCode c = 0;
        return q.PopIrKey(&c, 60000);
    });
    auto game = std::async(std::launch::async, [&] {
        GameScanCode c = 0;
        return q.PopGameKey(&c, 60000);
    });
    StopRunning();
    ASSERT_EQ(ir.wait_for(10s), std::future_status::ready);
    ASSERT_EQ(game.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(ir.get());
    EXPECT_FALSE(game.get());

    // Codes still queued are handed out even while stopping.
    q.PushIrKey(0x2601);
    IrScanCode c = 0;
    EXPECT_TRUE(q.PopIrKey(&c, 60000));
    EXPECT_EQ(c, 0x2601);
}

TEST(KeyQueueSingleton, CreatedOnceUnderRace) {
    std::vector<std::thread> threads;
    std::vector<KeyQueue*> seen(8);
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&, i] { seen[i] = GetKeyQueue(); });
    for (auto& t : threads)
        t.join();
    for (auto* p : seen)
        EXPECT_EQ(p, seen[0]);
}

}  // namespace

namespace {

TEST(RunFlag, StopBeforeAThreadBeginsStaysInForce) {
    g_bRunning = false;
    StopRunning();
    BeginRunning();  // a receiver thread that starts after the exit began
    EXPECT_FALSE(g_bRunning.load());
}

}  // namespace
