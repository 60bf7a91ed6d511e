#include "platform/process/running.h"

#include <mutex>
#include <vector>

std::atomic<bool> g_bRunning{false};

namespace {

struct Waker {
    int id;
    RunWaker fn;
    void* context;
};

std::mutex& WakerMutex() {
    static std::mutex m;
    return m;
}

std::vector<Waker>& Wakers() {
    static std::vector<Waker> w;
    return w;
}

int g_nextWakerId = 1;
bool g_bStopRequested = false;  // under WakerMutex()

}  // namespace

int AddRunWaker(RunWaker waker, void* context) {
    std::lock_guard lock(WakerMutex());
    int id = g_nextWakerId++;
    Wakers().push_back({id, waker, context});
    return id;
}

void RemoveRunWaker(int id) {
    std::lock_guard lock(WakerMutex());
    auto& w = Wakers();
    for (auto it = w.begin(); it != w.end(); ++it) {
        if (it->id == id) {
            w.erase(it);
            return;
        }
    }
}

void StopRunning() {
    std::lock_guard lock(WakerMutex());
    g_bStopRequested = true;
    g_bRunning.store(false, std::memory_order_release);
    for (const auto& w : Wakers())
        w.fn(w.context);
}

void ResumeRunning() {
    std::lock_guard lock(WakerMutex());
    g_bStopRequested = false;
}

void BeginRunning() {
    std::lock_guard lock(WakerMutex());
    if (!g_bStopRequested)
        g_bRunning.store(true, std::memory_order_release);
}
