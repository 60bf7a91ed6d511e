#include "tools/quillon_demo/soak_growth.h"

#include <algorithm>
#include <cstdio>

SoakGrowth JudgeSoakGrowth(const std::vector<SoakSample>& samples, double warmUpSeconds,
                           double maxSlopeMbPerHour, double noiseFloorKb) {
    SoakGrowth g;
    g.warmUpSeconds = warmUpSeconds;
    std::vector<SoakSample> post;
    for (const SoakSample& s : samples) {
        if (s.quiet && s.seconds >= warmUpSeconds)
            post.push_back(s);
    }
    g.checkedSamples = static_cast<int>(post.size());
    if (post.size() < 4) {
        g.faults.push_back("only " + std::to_string(post.size()) +
                           " quiet sample(s) after warm-up; at least 4 are needed");
        return g;
    }

    // Least squares of resident memory over time.
    double st = 0, sm = 0;
    for (const SoakSample& s : post) {
        st += s.seconds;
        sm += static_cast<double>(s.rssKb);
    }
    const double n = static_cast<double>(post.size());
    const double mt = st / n, mm = sm / n;
    double stt = 0, stm = 0;
    for (const SoakSample& s : post) {
        stt += (s.seconds - mt) * (s.seconds - mt);
        stm += (s.seconds - mt) * (static_cast<double>(s.rssKb) - mm);
    }
    const double kbPerSecond = stt > 0 ? stm / stt : 0;
    // kB here are the kernel's KiB; MB are 10^6 bytes.
    g.slopeMbPerHour = kbPerSecond * 3600.0 * 1024.0 / 1e6;
    g.interceptKb = mm - kbPerSecond * mt;
    g.riseKb = kbPerSecond * (post.back().seconds - post.front().seconds);
    if (g.slopeMbPerHour > maxSlopeMbPerHour && g.riseKb > noiseFloorKb) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "memory grows %.2f MB/h after warm-up (limit %.2f MB/h; %.0f kB over "
                      "%.0f s)",
                      g.slopeMbPerHour, maxSlopeMbPerHour, g.riseKb,
                      post.back().seconds - post.front().seconds);
        g.faults.push_back(text);
    }

    auto judge = [&](const char* what, int SoakSample::*field, int& baseline, int& maximum) {
        baseline = std::min({post[0].*field, post[1].*field, post[2].*field});
        maximum = baseline;
        for (std::size_t i = 0; i + 2 < post.size(); ++i) {
            const int low = std::min({post[i].*field, post[i + 1].*field, post[i + 2].*field});
            maximum = std::max(maximum, low);
            if (low > baseline) {
                char text[160];
                std::snprintf(text, sizeof text,
                              "%s grow after warm-up: %d from %.0f s on, settled at %d", what, low,
                              post[i].seconds, baseline);
                g.faults.push_back(text);
                return;
            }
        }
    };
    judge("open file descriptors", &SoakSample::fds, g.fdBaseline, g.fdMax);
    judge("threads", &SoakSample::threads, g.threadBaseline, g.threadMax);
    return g;
}
