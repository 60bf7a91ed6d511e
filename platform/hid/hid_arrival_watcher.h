#pragma once

// Tells when a HID device may have arrived: a `hidraw*` node created in (or moved
// into) the dev root, or one whose attributes changed. udev grants the user access
// to a new node only after the kernel has created it, so an open right after the
// creation can fail; the permission change that follows counts as an arrival too.
//
// One thread of its own, ended by Stop() (or the destructor) at once.

#include <functional>
#include <string>
#include <thread>

#include "platform/hid/hid_device.h"

class HidArrivalWatcher {
public:
    HidArrivalWatcher() = default;
    ~HidArrivalWatcher() { Stop(); }
    HidArrivalWatcher(const HidArrivalWatcher&) = delete;
    HidArrivalWatcher& operator=(const HidArrivalWatcher&) = delete;

    // False (errno set) when the directory cannot be watched or the thread not made.
    // `onArrival` runs on the watcher's thread, once per batch of events.
    bool Start(const std::string& devRoot, std::function<void()> onArrival);
    void Stop();

private:
    void Run();

    HidHandle m_inotify;
    WakeSignal m_stop;
    std::function<void()> m_onArrival;
    std::thread m_thread;
};
