#include "receiver/running.h"

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
    g_bRunning.store(false, std::memory_order_release);
    std::lock_guard lock(WakerMutex());
    for (const auto& w : Wakers()) w.fn(w.context);
}
