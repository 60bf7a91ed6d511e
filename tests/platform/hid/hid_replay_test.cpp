// The replay's timing, its wait for readers, and what ends it.

#include "platform/hid/hid_replay.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/hid/hid_recording.h"
#include "tests/platform/hid/replay_fixtures.h"

namespace {

using namespace std::chrono_literals;
using namespace replay_fixtures;

// A target whose Send records the time; readiness from another thread opens it.
class FakeTarget : public ReplayTarget {
public:
    FakeTarget() : m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~FakeTarget() override { close(m_fd); }
    std::vector<int> Descriptors() const override { return {m_fd}; }
    void Service() override {
        std::uint64_t v;
        if (read(m_fd, &v, sizeof v) > 0)
            m_opened = true;
    }
    bool Opened(std::size_t) const override { return m_opened; }
    bool Send(std::size_t device, std::span<const std::uint8_t> report) override {
        sent.push_back({Clock::now(), device, report.size()});
        return failAfter < 0 || static_cast<int>(sent.size()) <= failAfter;
    }
    std::string LastError() const override { return "gone"; }
    void OpenFromOutside() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(m_fd, &one, sizeof one);
    }
    struct Sent {
        Clock::time_point at;
        std::size_t device;
        std::size_t size;
    };
    std::vector<Sent> sent;
    int failAfter = -1;

private:
    int m_fd;
    bool m_opened = false;
};

TEST(HidReplay, WaitsForAReaderThenKeepsTheRecordedTimesAtTheGivenSpeed) {
    HidRecording r = TwoDevices();
    r.events = {{0, 0, {1}}, {1, 100'000, {2, 2}}, {0, 300'000, {3}}};
    FakeTarget target;
    Stop stop;
    Clock::time_point opened;
    std::thread opener([&] {
        std::this_thread::sleep_for(100ms);  // a reader that comes late
        opened = Clock::now();
        target.OpenFromOutside();
    });
    Clock::time_point started;
    ReplayResult result;
    {
        Bound bound(stop.fd);
        result = PlayRecording(r, target, {2.0, true}, stop.fd, [&] { started = Clock::now(); });
    }
    opener.join();
    ASSERT_EQ(result.end, ReplayEnd::Done);
    EXPECT_EQ(result.sent, 3u);
    ASSERT_EQ(target.sent.size(), 3u);
    // Started by the reader's arrival, promptly.
    EXPECT_GE(started, opened);
    EXPECT_LT(started - opened, 50ms);
    // Each report at its time halved, neither early nor late.
    const std::chrono::milliseconds due[] = {0ms, 50ms, 150ms};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_GE(target.sent[i].at - started, due[i]) << i;
        EXPECT_LT(target.sent[i].at - started, due[i] + 40ms) << i;
    }
    EXPECT_EQ(target.sent[1].device, 1u);
    EXPECT_EQ(target.sent[1].size, 2u);
}

TEST(HidReplay, StopEndsEveryWaitAtOnceAndAGoneDeviceEndsTheReplay) {
    HidRecording r = TwoDevices();
    {
        // Waiting for a reader that never comes.
        FakeTarget target;
        Stop stop;
        Clock::time_point fired;
        std::thread stopper = FireLater(stop, &fired);
        const ReplayEnd end = PlayRecording(r, target, {1.0, true}, stop.fd).end;
        const auto ended = Clock::now();
        stopper.join();
        EXPECT_EQ(end, ReplayEnd::Stopped);
        EXPECT_GE(ended, fired);
        EXPECT_LT(ended - fired, 40ms);
        EXPECT_TRUE(target.sent.empty());
    }
    {
        // Between two reports a minute apart.
        FakeTarget target;
        Stop stop;
        Clock::time_point fired;
        std::thread stopper = FireLater(stop, &fired);
        const ReplayResult result = PlayRecording(r, target, {1.0, false}, stop.fd);
        const auto ended = Clock::now();
        stopper.join();
        EXPECT_EQ(result.end, ReplayEnd::Stopped);
        EXPECT_EQ(result.sent, 1u);  // the second is due at 110 ms
        EXPECT_GE(ended, fired);
        EXPECT_LT(ended - fired, 40ms);
    }
    {
        FakeTarget target;
        target.failAfter = 1;
        Stop stop;
        Bound bound(stop.fd);
        const ReplayResult result = PlayRecording(r, target, {1000.0, false}, stop.fd);
        EXPECT_EQ(result.end, ReplayEnd::Failed);
        EXPECT_EQ(result.sent, 1u);
        EXPECT_EQ(result.error, "gone");
    }
}

}  // namespace
