#include "station/key_coverage.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = KeyCoverage::Clock;

const Clock::time_point t0 = Clock::time_point() + 1h;

TEST(KeySelection, GroupsNamesAndErrors) {
    std::string error;
    const auto all = ParseKeySelection("all", &error);
    ASSERT_TRUE(all);
    EXPECT_EQ(all->size(), 36u + 12u);  // every key but the token key
    EXPECT_EQ(std::count(all->begin(), all->end(), TOKEN_KEY_ID), 0);

    const auto mixed = ParseKeySelection(" 5 , pad,5,mute", &error);
    ASSERT_TRUE(mixed);
    EXPECT_EQ(mixed->size(), 1u + 12u + 1u);  // "5" once
    EXPECT_EQ(mixed->front(), 53);

    EXPECT_FALSE(ParseKeySelection("5,volume to eleven", &error));
    EXPECT_NE(error.find("volume to eleven"), std::string::npos);
    EXPECT_FALSE(ParseKeySelection(" , ", &error));
    EXPECT_FALSE(ParseKeySelection("token key", &error));
}

TEST(KeyCoverage, CompleteOnlyOnceEveryKeyWasReleased) {
    KeyCoverage keys({48, 49}, {}, t0);
    keys.Highlight(0, 48, t0 + 1s);
    keys.Highlight(0, 48, t0 + 1100ms);  // the same press, repeated codes
    EXPECT_EQ(keys.Missing(), (std::vector<KeyId>{48, 49}));
    keys.Highlight(0, 49, t0 + 1200ms);  // another key ends the first press
    EXPECT_EQ(keys.Missing(), (std::vector<KeyId>{49}));
    EXPECT_FALSE(keys.Complete());
    keys.Clear(0, t0 + 1500ms);
    EXPECT_TRUE(keys.Complete());

    const auto records = keys.Records(t0 + 2s);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].presses, 1);
    EXPECT_EQ(records[0].firstPressMs, 1000);
    EXPECT_EQ(records[0].durationsMs, (std::vector<std::int64_t>{200}));
    EXPECT_EQ(records[1].durationsMs, (std::vector<std::int64_t>{300}));
    EXPECT_FALSE(records[0].missing || records[0].doubled || records[0].stuck);
}

TEST(KeyCoverage, FlagsDoubleStuckAndMissing) {
    KeyCoverage keys({48, 49, 50}, {60ms, 5s}, t0);
    // 48: released, pressed again 40 ms later: one press registered twice.
    keys.Highlight(0, 48, t0);
    keys.Clear(0, t0 + 100ms);
    keys.Highlight(0, 48, t0 + 140ms);
    keys.Clear(0, t0 + 240ms);
    // 49: again only after 60 ms: two presses, no flag.
    keys.Highlight(0, 49, t0 + 1s);
    keys.Clear(0, t0 + 1100ms);
    keys.Highlight(0, 49, t0 + 1160ms);
    keys.Clear(0, t0 + 1200ms);
    // The game pad holds a key of its own at the same time; the remote's clear does
    // not end it.
    keys.Highlight(1, FIRST_GAME_KEY_ID, t0 + 2s);
    keys.Clear(0, t0 + 3s);
    keys.Check(t0 + 6s);
    EXPECT_TRUE(keys.AnyFlagged());

    const auto records = keys.Records(t0 + 8s);
    ASSERT_EQ(records.size(), 4u);  // the three expected, then the unexpected pad key
    EXPECT_TRUE(records[0].doubled);
    EXPECT_EQ(records[0].presses, 2);
    EXPECT_FALSE(records[1].doubled);
    EXPECT_EQ(records[1].presses, 2);
    EXPECT_TRUE(records[2].missing);
    EXPECT_EQ(records[2].firstPressMs, std::nullopt);
    EXPECT_EQ(records[3].id, FIRST_GAME_KEY_ID);
    EXPECT_TRUE(records[3].stuck);
    EXPECT_EQ(records[3].durationsMs, (std::vector<std::int64_t>{6000}));
    EXPECT_FALSE(records[3].missing);
}

TEST(KeyCoverage, KeyStillHeldAtTheEndIsMissingAndTokenKeyIsIgnored) {
    KeyCoverage keys({48}, {}, t0);
    keys.Highlight(0, TOKEN_KEY_ID, t0);
    keys.Clear(0, t0 + 100ms);
    keys.Highlight(0, 48, t0 + 1s);
    const auto records = keys.Records(t0 + 2s);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0].missing);
    EXPECT_EQ(records[0].presses, 1);
    EXPECT_FALSE(keys.Complete());
}

}  // namespace
