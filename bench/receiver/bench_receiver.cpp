// Receiver figures: a report written to the device node until its code is taken from
// the key queue, the sustained report rate the read loop takes without a loss, and
// StopRunning() until every receiver thread has ended.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "decode/key_dispatcher.h"
#include "platform/process/running.h"
#include "platform/process/trace.h"
#include "platform/process/worker_thread.h"
#include "receiver/receiver_monitor.h"
#include "tests/support/fake_hid_bus.h"
#include "tests/support/recording_dialog.h"
#include "tests/support/report_rate.h"
#include "tools/virtual_kit/virtual_kit.h"

namespace {

using Clock = std::chrono::steady_clock;

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

void Percentiles(benchmark::State& state, std::vector<double> samples) {
    if (samples.empty())
        return;
    std::sort(samples.begin(), samples.end());
    state.counters["median_us"] = samples[samples.size() / 2];
    state.counters["p99_us"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
}

// The IR receiver's read loop on its own thread over a fake node, until destroyed.
struct IrReadLoop {
    TraceCapture quiet;
    FakeHidBus bus;
    KeyQueue queue;
    ReceiverMonitor monitor{&bus, &queue};
    WorkerThread reader;

    bool Start() {
        g_bRunning = true;
        bus.PlugReceiver(0, kIrReceiverDescriptor);
        std::strcpy(monitor.m_szIrPath, bus.NodePath(0).c_str());
        if (!monitor.OpenIrReceiver())
            return false;
        reader.Start([this] { monitor.ReadIrReports(); });
        return true;
    }
    ~IrReadLoop() {
        StopRunning();
        reader.Join();
    }
};

// The read loop on its thread; the benchmark thread is the consumer.
void BM_ReportToConsumer(benchmark::State& state) {
    IrReadLoop loop;
    if (!loop.Start()) {
        state.SkipWithError("open failed");
        return;
    }
    FakeHidBus& bus = loop.bus;
    KeyQueue& queue = loop.queue;

    const Bytes report = {0x03, 0x01, 0x22, 0xB0, 0x26, 0x05};
    std::vector<double> samples;
    IrScanCode code = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        bus.Send(0, report);
        if (!queue.PopIrKey(&code, 1000)) {
            state.SkipWithError("report lost");
            break;
        }
        const auto taken = Clock::now() - start;
        state.SetIterationTime(std::chrono::duration<double>(taken).count());
        samples.push_back(Micros(taken));
    }
    Percentiles(state, std::move(samples));
}
BENCHMARK(BM_ReportToConsumer)->UseManualTime()->Iterations(5000);

// Reports at a steady rate (the argument, per second) for a second: how many the read
// loop lost, and the largest backlog on the node (the kernel would keep 64). A real
// receiver sends about 10 a second, a full-speed USB interrupt endpoint at most 1000.
void BM_SustainedReportRate(benchmark::State& state) {
    IrReadLoop loop;
    if (!loop.Start()) {
        state.SkipWithError("open failed");
        return;
    }
    FakeHidBus& bus = loop.bus;
    KeyQueue& queue = loop.queue;
    const int rate = static_cast<int>(state.range(0));
    ReportRateRun run;
    for (auto _ : state) {
        run = RunAtReportRate(
            queue, rate, rate, [&](IrScanCode code) { return bus.Send(0, IrReport(code)); },
            [&] { return static_cast<int>(loop.quiet.Count("[KEYWARDEN]KeyQueue full!")); });
    }
    state.counters["sent_per_s"] = run.sent / run.seconds;
    state.counters["lost"] = run.lost;
    state.counters["queue_drops"] = run.queueDrops;
    state.counters["reordered"] = run.reordered;
    state.counters["max_backlog"] = run.maxBacklog;
}
BENCHMARK(BM_SustainedReportRate)
    ->Arg(1000)
    ->Arg(2000)
    ->Arg(5000)
    ->Arg(10000)
    ->Arg(20000)
    ->Arg(50000)
    ->Arg(100000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Both receiver threads with their dispatchers, reading (arg 1) or waiting for an
// absent receiver (arg 0), then stopped.
void BM_StopToReceiverThreadsEnded(benchmark::State& state) {
    const bool reading = state.range(0) != 0;
    TraceCapture quiet;
    FakeHidBus bus;
    std::vector<double> samples;
    for (auto _ : state) {
        state.PauseTiming();
        quiet.Clear();
        if (reading) {
            bus.PlugReceiver(0, kIrReceiverDescriptor);
            bus.PlugReceiver(1, kGamePadDescriptor);
        }
        RecordingDialog dialog;
        ReceiverMonitor monitor(&bus);
        WorkerThread ir;
        WorkerThread game;
        ir.Start([&] { RunIrReceiverThread(&monitor, &dialog); });
        game.Start([&] { RunGameReceiverThread(&monitor, &dialog); });
        dialog.WaitForCount(2);
        state.ResumeTiming();

        const auto start = Clock::now();
        StopRunning();
        ir.WaitFor(std::chrono::seconds(10));
        game.WaitFor(std::chrono::seconds(10));
        const auto ended = Clock::now() - start;
        state.SetIterationTime(std::chrono::duration<double>(ended).count());
        samples.push_back(Micros(ended));

        state.PauseTiming();
        ir.Join();
        game.Join();
        if (reading) {
            bus.Unplug(0);
            bus.Unplug(1);
        }
        state.ResumeTiming();
    }
    Percentiles(state, std::move(samples));
}
BENCHMARK(BM_StopToReceiverThreadsEnded)->Arg(1)->Arg(0)->UseManualTime()->Iterations(30);

}  // namespace

BENCHMARK_MAIN();
