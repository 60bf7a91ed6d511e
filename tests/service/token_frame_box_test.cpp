// The token frame hand-over between the decoder and its readers.
#include "service/token_frame_box.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

namespace {

TEST(TokenFrameBoxTest, PairsTravelTogetherAndWaitersWake) {
    TokenFrameBox box;
    EXPECT_EQ(box.Sequence(), 0u);
    EXPECT_FALSE(box.Take().has_value());

    // A put wakes a waiter at once, not when its wait runs out.
    std::optional<TokenFrame> seen;
    std::chrono::steady_clock::time_point wokeAt;
    std::thread waiter([&] {
        seen = box.WaitNewer(0, std::chrono::seconds(10));
        wokeAt = std::chrono::steady_clock::now();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the waiter is waiting
    const auto put = std::chrono::steady_clock::now();
    box.Put("123456789", "87654321");
    waiter.join();
    EXPECT_LT(wokeAt - put, std::chrono::milliseconds(250));
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->serial, "123456789");
    EXPECT_EQ(seen->password, "87654321");
    EXPECT_EQ(seen->seq, 1u);

    std::optional<TokenFrame> taken = box.Take();
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->serial, "123456789");
    EXPECT_FALSE(box.Take().has_value()) << "taking empties the box";
    EXPECT_EQ(box.Peek().seq, 1u);

    box.Put("111111111", "22222222");
    box.Clear();
    EXPECT_EQ(box.Peek().serial, "");
    EXPECT_EQ(box.Peek().password, "");

    EXPECT_FALSE(box.WaitNewer(box.Sequence(), std::chrono::milliseconds(1)).has_value());

    std::atomic<bool> woke{false};
    std::thread sleeper(
        [&] { woke = !box.WaitNewer(box.Sequence(), std::chrono::hours(1)).has_value(); });
    // WakeAll only ends waits already in progress; repeat until the sleeper is in one.
    while (!woke) {
        box.WakeAll();
        std::this_thread::yield();
        if (woke)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    sleeper.join();
}

TEST(TokenFrameBoxTest, ReadersNeverSeeHalfAFrame) {
    TokenFrameBox box;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) {
            const char d = static_cast<char>('0' + i % 10);
            box.Put(std::string(9, d), std::string(8, d));
        }
        done = true;
    });
    std::size_t mismatches = 0;
    while (!done) {
        TokenFrame f = box.Peek();
        if (!f.serial.empty() && f.serial[0] != f.password[0])
            ++mismatches;
        if (auto t = box.Take(); t && t->serial[0] != t->password[0])
            ++mismatches;
    }
    writer.join();
    EXPECT_EQ(mismatches, 0u);
}

}  // namespace
