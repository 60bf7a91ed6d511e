#include "platform/hid/hid_arrival_watcher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

namespace {

class ArrivalCounter {
public:
    void Arrived() {
        {
            std::lock_guard lock(m_mutex);
            ++m_count;
        }
        m_cv.notify_all();
    }
    bool WaitFor(int count, std::chrono::milliseconds timeout) {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [&] { return m_count >= count; });
    }
    int Count() {
        std::lock_guard lock(m_mutex);
        return m_count;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_count = 0;
};

TEST(HidArrivalWatcher, CreationAndGrantCountButNotTheResetBeforeRemoval) {
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() / ("quillon-watch-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    ArrivalCounter arrivals;
    HidArrivalWatcher watcher;
    ASSERT_TRUE(watcher.Start(dir.string(), [&] { arrivals.Arrived(); }));

    const std::string node = (dir / "hidraw3").string();
    std::ofstream(node).put('x');
    ASSERT_TRUE(arrivals.WaitFor(1, std::chrono::seconds(5)));

    // What devtmpfs does at an unplug: mode reset, then removal. Not an arrival.
    const int before = arrivals.Count();
    ASSERT_EQ(::chmod(node.c_str(), 0600), 0);
    ASSERT_EQ(::unlink(node.c_str()), 0);
    EXPECT_FALSE(arrivals.WaitFor(before + 1, std::chrono::milliseconds(300)));

    // udev granting access to a node that stays: an arrival. Other names never count.
    std::ofstream((dir / "event0").string()).put('x');
    std::ofstream(node).put('x');
    ASSERT_TRUE(arrivals.WaitFor(before + 1, std::chrono::seconds(5)));
    ASSERT_EQ(::chmod(node.c_str(), 0660), 0);
    EXPECT_TRUE(arrivals.WaitFor(before + 2, std::chrono::seconds(5)));

    watcher.Stop();
    fs::remove_all(dir);
}

}  // namespace
