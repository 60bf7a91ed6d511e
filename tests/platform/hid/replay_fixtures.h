// What the recording, replay and served-tree tests share: a recording of the kit's two
// receivers, and stop descriptors that end a wait which would never end.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/hid/hid_recording.h"

namespace replay_fixtures {

using Clock = std::chrono::steady_clock;

inline RecordedDevice Device(const std::string& name, std::uint16_t product,
                             std::vector<std::uint8_t> descriptor) {
    return {name, "usb-0000:00:14.0-1/input0", 3, 0x0471, product, std::move(descriptor)};
}

inline HidRecording TwoDevices() {
    HidRecording r;
    r.devices = {
        Device("Orvane IR receiver", 0x0606, {0x06, 0x00, 0xff, 0x09, 0x00, 0xa1, 0x01, 0xc0}),
        Device("Orvane game receiver", 0x0606, {0x05, 0x01, 0x09, 0x05, 0xa1, 0x01, 0xc0})};
    r.events = {{0, 0, {0x03, 0x01, 0x22, 0xb0, 0x26, 0x05}},
                {0, 110'000, {0x03, 0x01, 0x22, 0xb0, 0x26, 0x05}},
                {1, 1'500'000, {0x05, 0x40, 0x40, 0x00, 0x02}},
                {0, 61'000'001, {0x03, 0x01, 0x22, 0xb0, 0xff, 0x97}}};
    return r;
}

// Fires a stop descriptor after `bound` unless it is gone first: a wait of the code
// under test that never ends fails the test in seconds.
class Bound {
public:
    explicit Bound(int stopFd, std::chrono::milliseconds bound = std::chrono::seconds(10))
        : m_thread([this, stopFd, bound] {
              std::unique_lock lock(m_mutex);
              if (!m_changed.wait_for(lock, bound, [this] { return m_done; })) {
                  m_fired = true;
                  const std::uint64_t one = 1;
                  [[maybe_unused]] const ssize_t n = write(stopFd, &one, sizeof one);
              }
          }) {}
    ~Bound() {
        {
            std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    bool Fired() {
        std::lock_guard lock(m_mutex);
        return m_fired;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_done = false;
    bool m_fired = false;
    std::thread m_thread;
};

class Stop {
public:
    Stop() : fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Stop() { close(fd); }
    void Fire() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(fd, &one, sizeof one);
    }
    int fd;
};

// Fires `stop` 50 ms from now on a thread of its own; `fired` is when, read after join.
inline std::thread FireLater(Stop& stop, Clock::time_point* fired) {
    return std::thread([&stop, fired] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        *fired = Clock::now();
        stop.Fire();
    });
}

}  // namespace replay_fixtures
