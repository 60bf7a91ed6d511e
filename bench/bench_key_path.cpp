// Key path figures: queue round trips, hand-off latency, one whole token frame.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "decode/key_dispatcher.h"
#include "platform/process/running.h"

namespace {

using Clock = std::chrono::steady_clock;

void BM_QueuePushPopSameThread(benchmark::State& state) {
    g_bRunning = true;
    KeyQueue q;
    IrScanCode code = 0;
    for (auto _ : state) {
        q.PushIrKey(0x2601);
        q.PopIrKey(&code, 1000);
        benchmark::DoNotOptimize(code);
    }
}
BENCHMARK(BM_QueuePushPopSameThread);

// One producer, one consumer; each iteration is a code that crosses threads and back.
void BM_QueueProducerConsumerPingPong(benchmark::State& state) {
    g_bRunning = true;
    KeyQueue q;
    std::atomic<bool> done{false};
    std::thread echo([&] {
        IrScanCode code = 0;
        while (!done.load()) {
            if (q.PopIrKey(&code, 50))
                q.PushGameKey(code);
        }
    });
    GameScanCode back = 0;
    for (auto _ : state) {
        q.PushIrKey(0x2601);
        while (!q.PopGameKey(&back, 1000)) {
        }
    }
    done = true;
    echo.join();
}
BENCHMARK(BM_QueueProducerConsumerPingPong)->UseRealTime();

// Time from a push to the waiting consumer holding the code.
void BM_HandOffLatency(benchmark::State& state) {
    g_bRunning = true;
    KeyQueue q;
    std::atomic<long long> pushedAt{0};
    std::atomic<long long> wokeAt{0};
    std::atomic<bool> done{false};
    std::thread consumer([&] {
        IrScanCode code = 0;
        while (!done.load()) {
            if (q.PopIrKey(&code, 50))
                wokeAt.store(Clock::now().time_since_epoch().count());
        }
    });
    std::vector<double> samples;
    for (auto _ : state) {
        wokeAt = 0;
        pushedAt = Clock::now().time_since_epoch().count();
        q.PushIrKey(0x2601);
        while (wokeAt.load() == 0)
            std::this_thread::yield();
        samples.push_back(static_cast<double>(wokeAt.load() - pushedAt.load()));
    }
    done = true;
    consumer.join();
    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) {
        state.counters["median_us"] = samples[samples.size() / 2] / 1000.0;
        state.counters["p99_us"] = samples[samples.size() * 99 / 100] / 1000.0;
    }
}
BENCHMARK(BM_HandOffLatency)->UseRealTime()->Iterations(2000);

class FrameSink : public IMainDialog {
public:
    void ShowIrStatus(int) override {}
    void ShowGameStatus(int) override {}
    void HighlightKey(KeyId) override {}
    void ClearHighlight() override {}
    void ShowTokenResult(int) override {}
    void OnTokenTaken(const char*) override {
        {
            std::lock_guard lock(m);
            ++taken;
        }
        cv.notify_all();
    }
    std::mutex m;
    std::condition_variable cv;
    int taken = 0;
};

// 14 pushes of a whole frame to the dialog holding the digit string.
void BM_TokenFrameToTaken(benchmark::State& state) {
    g_bRunning = true;
    HidManager manager;
    KeyQueue q;
    KeyDispatcher d(&q, &manager);
    ReceiverMonitor monitor;
    FrameSink sink;
    monitor.m_pDialog = &sink;
    d.m_pMonitor = &monitor;
    std::thread loop([&] { d.DispatchIrKeys(); });

    IrScanCode frame[14] = {0x7F97, 0xFF0C, 0x7F12, 0xFF34, 0x7F56, 0xFF78, 0x7F90,
                            0xFF00, 0x7F00, 0xFF00, 0x7F87, 0xFF65, 0x7F43, 0xFF21};
    int expected = 0;
    for (auto _ : state) {
        ++expected;
        for (auto c : frame)
            q.PushIrKey(c);
        std::unique_lock lock(sink.m);
        sink.cv.wait(lock, [&] { return sink.taken >= expected; });
    }
    StopRunning();
    loop.join();
}
BENCHMARK(BM_TokenFrameToTaken)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
