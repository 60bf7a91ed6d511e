#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/trace.h"

namespace {

// Runs `body` with stderr redirected into a pipe and returns what was written.
template <typename Body>
std::string CaptureStderr(Body body) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    int saved = dup(STDERR_FILENO);
    dup2(fds[1], STDERR_FILENO);
    close(fds[1]);
    std::string out;
    std::thread reader([&] {
        char buf[4096];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0)
            out.append(buf, static_cast<size_t>(n));
    });
    body();
    dup2(saved, STDERR_FILENO);
    close(saved);
    reader.join();
    close(fds[0]);
    return out;
}

TEST(Trace, LinesFromManyThreadsStayWhole) {
    constexpr int kThreads = 4;
    constexpr int kLines = 500;
    std::string out = CaptureStderr([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < kLines; ++i)
                    Trace("[KEYWARDEN] thread %d line %d %s", t, i, std::string(100, 'x').c_str());
            });
        }
        for (auto& th : threads)
            th.join();
    });
    std::vector<int> next(kThreads, 0);
    std::size_t pos = 0;
    int total = 0;
    while (pos < out.size()) {
        std::size_t end = out.find('\n', pos);
        ASSERT_NE(end, std::string::npos);
        std::string line = out.substr(pos, end - pos);
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "[KEYWARDEN] thread %d line %d", &t, &i), 2) << line;
        ASSERT_EQ(line.size(), line.find(" x") + 101) << line;
        EXPECT_EQ(i, next[static_cast<size_t>(t)]++);
        pos = end + 1;
        ++total;
    }
    EXPECT_EQ(total, kThreads * kLines);
}

TEST(Trace, LongLinesAreNotCut) {
    std::string big(5000, 'y');
    std::string out = CaptureStderr([&] { Trace("[KEYWARDEN] %s", big.c_str()); });
    EXPECT_EQ(out, "[KEYWARDEN] " + big + "\n");
}

TEST(Trace, CaptureTakesLinesInsteadOfStderr) {
    std::string out = CaptureStderr([] {
        TraceCapture capture;
        Trace("[KEYWARDEN]KeyQueue full!");
        Trace("[KEYWARDEN] Invalid ScanCode ignored: %x", 0x22b02605u);
        EXPECT_EQ(capture.Lines(),
                  (std::vector<std::string>{"[KEYWARDEN]KeyQueue full!",
                                            "[KEYWARDEN] Invalid ScanCode ignored: 22b02605"}));
    });
    EXPECT_EQ(out, "");
}

}  // namespace
