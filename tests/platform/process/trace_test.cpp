#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/process/trace.h"

namespace {

using namespace std::chrono_literals;

// stderr goes into a pipe for the object's life; the test decides when to read.
class StderrPipe {
public:
    StderrPipe() {
        EXPECT_EQ(pipe(m_fds), 0);
        m_saved = dup(STDERR_FILENO);
        dup2(m_fds[1], STDERR_FILENO);
        close(m_fds[1]);
    }
    ~StderrPipe() {
        Restore();
        if (m_fds[0] >= 0)
            close(m_fds[0]);
    }
    // Everything written until stderr is restored, read on a thread of its own.
    std::string ReadAll() {
        std::string out;
        std::thread reader([&] {
            char buf[4096];
            ssize_t n;
            while ((n = read(m_fds[0], buf, sizeof buf)) > 0)
                out.append(buf, static_cast<size_t>(n));
        });
        EXPECT_TRUE(TraceFlush(10s));
        Restore();
        reader.join();
        return out;
    }
    // The reader goes away after taking `bytes`.
    void CloseReaderAfter(std::size_t bytes) {
        std::string buf(bytes, '\0');
        EXPECT_EQ(read(m_fds[0], buf.data(), bytes), static_cast<ssize_t>(bytes));
        close(m_fds[0]);
        m_fds[0] = -1;
    }
    void Restore() {
        if (m_saved >= 0) {
            dup2(m_saved, STDERR_FILENO);
            close(m_saved);
            m_saved = -1;
        }
    }

private:
    int m_fds[2] = {-1, -1};
    int m_saved = -1;
};

// Splits into lines; fails on a torn last line.
std::vector<std::string> Lines(const std::string& out) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < out.size()) {
        const std::size_t end = out.find('\n', pos);
        EXPECT_NE(end, std::string::npos) << "torn last line";
        if (end == std::string::npos)
            break;
        lines.push_back(out.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

TEST(Trace, LinesFromManyThreadsStayWholeAndInOrder) {
    constexpr int kThreads = 4;
    constexpr int kLines = 500;
    StderrPipe err;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                Trace("[KEYWARDEN] thread %d line %d %s", t, i, std::string(100, 'x').c_str());
        });
    }
    for (auto& th : threads)
        th.join();
    Trace("[KEYWARDEN] %s", std::string(5000, 'y').c_str());  // beyond any stack buffer
    const std::vector<std::string> lines = Lines(err.ReadAll());
    ASSERT_EQ(lines.size(), std::size_t{kThreads * kLines + 1});
    std::vector<int> next(kThreads, 0);
    for (std::size_t k = 0; k + 1 < lines.size(); ++k) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(lines[k].c_str(), "[KEYWARDEN] thread %d line %d", &t, &i), 2)
            << lines[k];
        ASSERT_EQ(lines[k].size(), lines[k].find(" x") + 101) << lines[k];
        EXPECT_EQ(i, next[static_cast<size_t>(t)]++);
    }
    EXPECT_EQ(lines.back(), "[KEYWARDEN] " + std::string(5000, 'y'));
}

// Nobody reads: the callers run on, the queue keeps what fits, and once the reader
// comes the lines it missed are counted exactly in one line.
TEST(Trace, StalledOutputNeitherBlocksCallersNorLosesCount) {
    StderrPipe err;
    const std::uint64_t lostBefore = TraceLostLines();
    // Far more than the pipe and the queue hold together.
    constexpr int kLines = 3 * static_cast<int>(kTraceQueueBytes) / 100;
    const std::string pad(80, 'z');
    auto burst = std::async(std::launch::async, [&] {
        for (int i = 0; i < kLines; ++i)
            Trace("[KEYWARDEN] burst %06d %s", i, pad.c_str());
    });
    // A caller that waited on the output would still be in the burst.
    const bool returned = burst.wait_for(20s) == std::future_status::ready;
    const std::uint64_t lost = TraceLostLines() - lostBefore;
    const std::vector<std::string> lines = Lines(err.ReadAll());
    ASSERT_TRUE(returned) << "Trace() waited on a stalled output";
    EXPECT_GT(lost, 0u);

    ASSERT_FALSE(lines.empty());
    int previous = -1;
    std::size_t burstLines = 0;
    for (const std::string& line : lines) {
        int i = -1;
        if (std::sscanf(line.c_str(), "[KEYWARDEN] burst %d", &i) == 1) {
            EXPECT_EQ(line.size(), std::size_t{12 + 6 + 6 + 1 + 80}) << line;
            EXPECT_GT(i, previous);
            previous = i;
            ++burstLines;
        }
    }
    EXPECT_EQ(lines.back(), "[KEYWARDEN] " + std::to_string(lost) + " trace lines lost");
    EXPECT_EQ(burstLines + lost, std::size_t{kLines});
}

// The reader goes after a few bytes: no SIGPIPE ends the test, every later line is
// counted, and the count reaches the next reader.
TEST(Trace, ClosedOutputRaisesNoSignalAndCountsWhatItMissed) {
    std::uint64_t lost = 0;
    {
        StderrPipe err;
        Trace("[KEYWARDEN] first line");
        err.CloseReaderAfter(4);
        const std::uint64_t lostBefore = TraceLostLines();
        for (int i = 0; i < 50; ++i)
            Trace("[KEYWARDEN] into the void %d", i);
        EXPECT_TRUE(TraceFlush(10s));
        lost = TraceLostLines() - lostBefore;
        EXPECT_EQ(lost, 50u);
    }
    StderrPipe next;
    Trace("[KEYWARDEN] back");
    const std::vector<std::string> lines = Lines(next.ReadAll());
    EXPECT_EQ(lines,
              (std::vector<std::string>{"[KEYWARDEN] back", "[KEYWARDEN] " + std::to_string(lost) +
                                                                " trace lines lost"}));
}

TEST(Trace, CaptureTakesLinesInsteadOfStderr) {
    StderrPipe err;
    {
        TraceCapture capture;
        Trace("[KEYWARDEN]KeyQueue full!");
        Trace("[KEYWARDEN] Invalid ScanCode ignored: %x", 0x22b02605u);
        EXPECT_EQ(capture.Lines(),
                  (std::vector<std::string>{"[KEYWARDEN]KeyQueue full!",
                                            "[KEYWARDEN] Invalid ScanCode ignored: 22b02605"}));
    }
    EXPECT_EQ(err.ReadAll(), "");
}

}  // namespace
