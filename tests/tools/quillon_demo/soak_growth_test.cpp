// The soak's verdict on growth, on made-up samples: what a leak looks like against
// what an allocator's steps and a call's passing socket look like.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "tools/quillon_demo/soak_growth.h"

namespace {

// One sample every 10 s for `seconds`, memory `rss(t)`, 40 fds and 12 threads.
std::vector<SoakSample> Samples(double seconds, const std::function<double(double)>& rss) {
    std::vector<SoakSample> samples;
    for (double t = 0; t <= seconds; t += 10)
        samples.push_back({t, static_cast<long>(std::lround(rss(t))), 40, 12, true});
    return samples;
}

// kB per second for a slope in MB/h (MB = 10^6 bytes, kB = 1024 bytes).
double KbPerSecond(double mbPerHour) {
    return mbPerHour * 1e6 / 1024 / 3600;
}

bool Mentions(const SoakGrowth& g, const std::string& what) {
    for (const std::string& f : g.faults) {
        if (f.find(what) != std::string::npos)
            return true;
    }
    return false;
}

TEST(SoakGrowth, MemorySlopeIsJudgedAgainstOneMegabytePerHourFromBothSides) {
    // An hour, 10 min of warm-up that climbs steeply, then a steady slope with a
    // page-sized saw-tooth on top.
    auto hour = [](double mbPerHour) {
        return Samples(3600, [=](double t) {
            const double warm = std::min(t, 600.0) * 20;  // 12 MB during warm-up
            const double saw = (static_cast<int>(t / 10) % 3) * 4.0;
            return 50000 + warm + KbPerSecond(mbPerHour) * t + saw;
        });
    };
    const SoakGrowth flat = JudgeSoakGrowth(hour(0), 600);
    EXPECT_TRUE(flat.faults.empty()) << flat.faults.front();
    EXPECT_NEAR(flat.slopeMbPerHour, 0, 0.05);
    EXPECT_EQ(flat.checkedSamples, 301);

    const SoakGrowth under = JudgeSoakGrowth(hour(0.9), 600);
    EXPECT_TRUE(under.faults.empty());
    EXPECT_NEAR(under.slopeMbPerHour, 0.9, 0.05);

    const SoakGrowth over = JudgeSoakGrowth(hour(1.2), 600);
    EXPECT_NEAR(over.slopeMbPerHour, 1.2, 0.05);
    EXPECT_TRUE(Mentions(over, "memory grows 1.2")) << over.faults.size();
}

TEST(SoakGrowth, AShortRunToleratesAllocatorStepsButNotARealRise) {
    // Two minutes: one 128 kB step is far above 1 MB/h as a slope, but below the floor.
    const SoakGrowth step =
        JudgeSoakGrowth(Samples(120, [](double t) { return t < 90 ? 60000 : 60128; }), 60);
    EXPECT_GT(step.slopeMbPerHour, 1.0);
    EXPECT_TRUE(step.faults.empty());

    const SoakGrowth leak =
        JudgeSoakGrowth(Samples(120, [](double t) { return 60000 + t * 10; }), 60);
    EXPECT_TRUE(Mentions(leak, "memory grows"));
}

TEST(SoakGrowth, OnlyPersistentDescriptorOrThreadGrowthFails) {
    std::vector<SoakSample> samples = Samples(600, [](double) { return 60000; });
    // During warm-up and in busy samples anything goes.
    samples[2].fds = 90;
    samples[20].threads = 30;
    samples[20].quiet = false;
    // A socket on its way out, caught once, and twice in a row.
    samples[25].fds = 41;
    samples[40].fds = 41;
    samples[41].fds = 41;
    SoakGrowth g = JudgeSoakGrowth(samples, 60);
    EXPECT_TRUE(g.faults.empty()) << g.faults.front();
    EXPECT_EQ(g.fdBaseline, 40);
    EXPECT_EQ(g.fdMax, 40);

    // Three in a row: a descriptor that stays.
    samples[42].fds = 41;
    g = JudgeSoakGrowth(samples, 60);
    ASSERT_EQ(g.faults.size(), 1u);
    EXPECT_TRUE(Mentions(g, "open file descriptors grow after warm-up: 41 from 400 s on"))
        << g.faults.front();

    // A thread that is left behind by every calibration.
    samples = Samples(600, [](double) { return 60000; });
    for (std::size_t i = 30; i < samples.size(); ++i)
        samples[i].threads = 13;
    g = JudgeSoakGrowth(samples, 60);
    EXPECT_TRUE(Mentions(g, "threads grow"));
    EXPECT_EQ(g.threadBaseline, 12);
    EXPECT_EQ(g.threadMax, 13);
}

TEST(SoakGrowth, TooFewCheckedSamplesIsAFault) {
    const SoakGrowth g = JudgeSoakGrowth(Samples(60, [](double) { return 60000; }), 40);
    EXPECT_EQ(g.checkedSamples, 3);
    EXPECT_TRUE(Mentions(g, "only 3 quiet sample(s)"));
}

}  // namespace
