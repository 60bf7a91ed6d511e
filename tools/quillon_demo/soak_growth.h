#pragma once

// The soak's growth rules, apart from the soak so they can be checked on made-up
// samples.

#include <string>
#include <vector>

struct SoakSample {
    double seconds;
    long rssKb;
    int fds;
    int threads;
    bool quiet;  // taken between actions, not during a press, calibration or replug
};

// What the samples say about growth; pure, so its rules can be tested on made-up data.
struct SoakGrowth {
    double warmUpSeconds = 0;
    int checkedSamples = 0;
    double slopeMbPerHour = 0;  // least squares over the quiet samples after warm-up
    double interceptKb = 0;     // the fitted line's value at 0 s
    double riseKb = 0;          // along the fitted line over the checked span
    int fdBaseline = 0;
    int fdMax = 0;
    int threadBaseline = 0;
    int threadMax = 0;
    std::vector<std::string> faults;
};

// Memory fails when the slope is above `maxSlopeMbPerHour` and the fitted line rises
// more than `noiseFloorKb` over the checked span: a span of minutes cannot resolve
// 1 MB/h against the allocator's page-sized steps, an hour can. Descriptors and
// threads take as baseline the least of the first three quiet samples after warm-up;
// any three quiet samples in a row that all lie above it are growth (a single sample
// can catch a verification's socket or a calibration step's thread on its way out).
SoakGrowth JudgeSoakGrowth(const std::vector<SoakSample>& samples, double warmUpSeconds,
                           double maxSlopeMbPerHour = 1.0, double noiseFloorKb = 256);
