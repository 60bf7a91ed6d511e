#pragma once

// The terminal program's own loop on its main thread: calls posted from any thread,
// timers, and the stop signals, all in one poll(). What Qt's event loop is to the
// window; the calibration runs on it through the same interface the dialog gives it.

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "platform/hid/hid_device.h"

class EventLoop {
public:
    using Clock = std::chrono::steady_clock;

    // Any thread: `call` runs on the loop's thread, in the order posted.
    void Post(std::function<void()> call);
    // Loop thread: `id` fires every `period` from now, replacing a timer of that id.
    void SetTimer(int id, std::chrono::milliseconds period, std::function<void()> onFire);
    void KillTimer(int id);

    // Runs until Quit() or a stop signal; true when it was a stop signal. Needs
    // InstallStopSignals() for the latter.
    bool Run();
    void Quit();  // any thread

private:
    struct Timer {
        Clock::time_point next;
        std::chrono::milliseconds period;
        std::function<void()> onFire;
    };

    WakeSignal m_wake;
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_posted;
    bool m_quit = false;
    std::map<int, Timer> m_timers;  // loop thread only
};
