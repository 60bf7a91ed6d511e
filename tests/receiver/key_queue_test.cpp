#include "receiver/key_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "platform/process/running.h"
#include "platform/process/trace.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class KeyQueueTest : public ::testing::Test {
protected:
    void SetUp() override { g_bRunning = true; }
    void TearDown() override { g_bRunning = false; }
    void DrainBoth() {
        IrScanCode ir = 0;
        GameScanCode game = 0;
        while (q.PopIrKey(&ir, 0)) {
        }
        while (q.PopGameKey(&game, 0)) {
        }
    }
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

// How late a wait may end: loose enough for sanitizer builds on a busy machine, tight
// enough to tell a time-out that works from one that is several times too long.
constexpr auto kLate = 250ms;

TEST_F(KeyQueueTest, TimeOutLeavesPlaceUnchanged) {
    IrScanCode ir = 0xBEEF;
    GameScanCode game = 0xDEADBEEF;
    for (auto timeout : {251ms, 60ms}) {
        auto start = Clock::now();
        EXPECT_FALSE(q.PopIrKey(&ir, static_cast<std::uint32_t>(timeout.count())));
        EXPECT_GE(Clock::now() - start, timeout);
        EXPECT_LT(Clock::now() - start, timeout + kLate);
        start = Clock::now();
        EXPECT_FALSE(q.PopGameKey(&game, static_cast<std::uint32_t>(timeout.count())));
        EXPECT_GE(Clock::now() - start, timeout);
        EXPECT_LT(Clock::now() - start, timeout + kLate);
    }
    EXPECT_EQ(ir, 0xBEEF);
    EXPECT_EQ(game, 0xDEADBEEFu);
}

TEST_F(KeyQueueTest, PushEndsAWaitingTakeAtOnce) {
    for (auto settle : {0ms, 30ms}) {  // the push before or during the wait
        SCOPED_TRACE(settle.count());
        auto ir = std::async(std::launch::async, [&] {
            IrScanCode code = 0;
            bool ok = q.PopIrKey(&code, 20000);
            return std::make_pair(ok, code);
        });
        auto game = std::async(std::launch::async, [&] {
            GameScanCode code = 0;
            bool ok = q.PopGameKey(&code, 20000);
            return std::make_pair(ok, code);
        });
        std::this_thread::sleep_for(settle);
        const auto pushed = Clock::now();
        q.PushIrKey(0x2605);
        q.PushGameKey(0x40400002);
        ASSERT_EQ(ir.wait_until(pushed + kLate), std::future_status::ready);
        ASSERT_EQ(game.wait_until(pushed + kLate), std::future_status::ready);
        EXPECT_EQ(ir.get(), std::make_pair(true, IrScanCode{0x2605}));
        EXPECT_EQ(game.get(), std::make_pair(true, GameScanCode{0x40400002}));
    }
}

TEST_F(KeyQueueTest, TakeAfterEmptyingWaitsForTheNextPush) {
    // The event is still signalled after the last code is taken; the next take must
    // clear it and wait out its time-out rather than fail at once.
    q.PushGameKey(1);
    q.PushIrKey(2);
    GameScanCode code = 0;
    IrScanCode ir = 0;
    ASSERT_TRUE(q.PopGameKey(&code, 0));
    ASSERT_TRUE(q.PopIrKey(&ir, 0));
    auto start = Clock::now();
    EXPECT_FALSE(q.PopGameKey(&code, 80));
    EXPECT_GE(Clock::now() - start, 80ms);
    EXPECT_LT(Clock::now() - start, 80ms + kLate);
    start = Clock::now();
    EXPECT_FALSE(q.PopIrKey(&ir, 80));
    EXPECT_GE(Clock::now() - start, 80ms);
    EXPECT_EQ(code, 1u);
    EXPECT_EQ(ir, 2);
}

TEST_F(KeyQueueTest, QueuesNeverWakeOrSatisfyEachOther) {
    // A take keeps waiting its whole time-out while the other queue gets codes, and
    // those codes stay where they are.
    for (bool irWaits : {true, false}) {
        SCOPED_TRACE(irWaits ? "IR take" : "game take");
        std::atomic<bool> done{false};
        auto take = std::async(std::launch::async, [&] {
            const auto start = Clock::now();
            IrScanCode ir = 7;
            GameScanCode game = 7;
            const bool ok = irWaits ? q.PopIrKey(&ir, 150) : q.PopGameKey(&game, 150);
            done = true;
            return std::make_tuple(ok, Clock::now() - start, irWaits ? GameScanCode{ir} : game);
        });
        // The other queue is pushed and taken meanwhile, keeping up to 50 codes.
        std::uint32_t pushed = 0;
        while (!done) {
            IrScanCode ir = 0;
            GameScanCode game = 0;
            if (pushed >= 50) {
                ASSERT_TRUE(irWaits ? q.PopGameKey(&game, 0) : q.PopIrKey(&ir, 0));
            }
            if (irWaits)
                q.PushGameKey(0x40400000u + pushed);
            else
                q.PushIrKey(static_cast<IrScanCode>(0x2600 + pushed));
            ++pushed;
            std::this_thread::sleep_for(1ms);
        }
        const auto [ok, waited, place] = take.get();
        EXPECT_FALSE(ok);
        EXPECT_GE(waited, 150ms) << pushed << " pushes on the other queue";
        EXPECT_EQ(place, 7u);
        EXPECT_EQ(irWaits ? q.GameCount() : q.IrCount(), std::min(pushed, 50u));
        EXPECT_EQ(irWaits ? q.IrCount() : q.GameCount(), 0u);
        DrainBoth();
    }
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
    std::this_thread::sleep_for(30ms);  // both takes are waiting
    const auto stopped = Clock::now();
    StopRunning();
    ASSERT_EQ(ir.wait_until(stopped + kLate), std::future_status::ready);
    ASSERT_EQ(game.wait_until(stopped + kLate), std::future_status::ready);
    EXPECT_FALSE(ir.get());
    EXPECT_FALSE(game.get());

    // Codes still queued are handed out even while stopping.
    q.PushIrKey(0x2601);
    IrScanCode c = 0;
    EXPECT_TRUE(q.PopIrKey(&c, 60000));
    EXPECT_EQ(c, 0x2601);
}

// Concurrent pushes and takes on both queues at once, one producer and one consumer
// per queue as in the program. A producer keeps at most `window` codes in flight, so
// none is dropped: every code must be taken once, in order, from its own queue. With
// a window of one every take starts on an empty queue and the push lands just before,
// at, or during its wait. A take that gives up although its code is on the way (a
// lost wake-up) or returns with nothing before its time-out (a spurious one) fails.
class KeyQueueStress : public ::testing::Test {
protected:
    static constexpr std::uint32_t kTakeTimeoutMs = 3000;
    static constexpr auto kPrompt = 1000ms;

    void SetUp() override { g_bRunning = true; }
    void TearDown() override { g_bRunning = false; }

    struct Lane {
        explicit Lane(bool isIr) : ir(isIr) {}
        bool ir;
        std::atomic<std::uint32_t> taken{0};
        std::atomic<bool> failed{false};
        std::string fault;  // the consumer's fault, once failed
    };

    static std::uint32_t CodeOf(bool ir, std::uint32_t i) {
        return ir ? 0x1000u + i % 0xE000u : 0x40400000u + i;
    }

    // A pause of a varying length, below `steps` short steps (some nanoseconds each).
    // The consumer pauses up to some microseconds before its next take, which moves the
    // push its producer makes meanwhile over every point of the take's way: before it
    // looks at its queue, between that and its wait, and in the wait.
    void Pause(std::uint32_t& seed, std::uint32_t steps) {
        seed = seed * 1103515245u + 12345u;
        for (std::uint32_t step = (seed >> 16) % steps; step > 0; --step)
            m_pause.fetch_add(1, std::memory_order_relaxed);
    }

    void Produce(Lane& lane, std::uint32_t count, std::uint32_t window) {
        std::uint32_t seed = lane.ir ? 12345u : 54321u;
        for (std::uint32_t i = 0; i < count; ++i) {
            // Sleeps until there is room, so that a waiting thread takes no processor
            // from the lanes at work.
            for (std::uint32_t t = lane.taken.load(); t + window <= i; t = lane.taken.load())
                lane.taken.wait(t);
            if (lane.failed.load())
                return;
            Pause(seed, 32);
            if (lane.ir)
                q.PushIrKey(static_cast<IrScanCode>(CodeOf(true, i)));
            else
                q.PushGameKey(CodeOf(false, i));
        }
    }

    void Consume(Lane& lane, std::uint32_t count) {
        std::uint32_t seed = lane.ir ? 23456u : 65432u;
        for (std::uint32_t i = 0; i < count; ++i) {
            const auto start = Clock::now();
            IrScanCode ir = 0;
            GameScanCode game = 0;
            const bool ok =
                lane.ir ? q.PopIrKey(&ir, kTakeTimeoutMs) : q.PopGameKey(&game, kTakeTimeoutMs);
            const auto waited =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            const std::uint32_t code = lane.ir ? ir : game;
            if (ok && waited <= kPrompt && code == CodeOf(lane.ir, i)) {
                lane.taken.store(i + 1);
                lane.taken.notify_one();
                Pause(seed, 8192);
                continue;
            }
            const std::string at =
                "code " + std::to_string(i) + ", after " + std::to_string(waited.count()) + " ms";
            if (!ok) {
                lane.fault =
                    (waited.count() >= kTakeTimeoutMs ? "lost wake-up: " : "spurious wake-up: ") +
                    at;
            } else if (waited > kPrompt) {
                // Its code was pushed as it began: it slept through the push.
                lane.fault = "late wake-up: " + at;
            } else {
                lane.fault = "wrong code " + std::to_string(code) + ": " + at;
            }
            lane.failed = true;
            lane.taken.store(count);  // wakes the producer, which then sees it
            lane.taken.notify_one();
            return;
        }
    }

    // Both queues at once; returns when both lanes are done or one failed.
    void Run(std::uint32_t count, std::uint32_t window) {
        Lane ir(true);
        Lane game(false);
        {
            std::vector<std::jthread> threads;
            for (Lane* lane : {&ir, &game}) {
                threads.emplace_back([&, lane] { Produce(*lane, count, window); });
                threads.emplace_back([&, lane] { Consume(*lane, count); });
            }
        }
        for (Lane* lane : {&ir, &game}) {
            SCOPED_TRACE(lane->ir ? "IR queue" : "game-controller queue");
            EXPECT_EQ(lane->fault, "");
            if (!lane->failed) {
                EXPECT_EQ(lane->taken.load(), count);
            }
        }
        EXPECT_EQ(q.IrCount(), 0u);
        EXPECT_EQ(q.GameCount(), 0u);
    }

    KeyQueue q;
    std::atomic<std::uint32_t> m_pause{0};
};

TEST_F(KeyQueueStress, EveryTakeMeetsItsPush) {
    Run(30000, 1);
}

TEST_F(KeyQueueStress, BurstsNeverLoseOrReorderACode) {
    Run(30000, KeyQueue::kCapacity);
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
