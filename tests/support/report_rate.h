#pragma once

// Reports paced to a receiver's node at a given rate while a consumer takes their
// codes from the key queue as fast as a dispatcher would: what the read loop sustains.
// The kernel keeps 64 reports per open node and drops what comes while they are all
// unread; the largest backlog seen tells how close a rate came to that. Header-only,
// for the benchmarks and the real-kernel tier alike.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "receiver/key_queue.h"
#include "receiver/types.h"

struct ReportRateRun {
    int sent = 0;
    int received = 0;
    int lost = 0;        // sent, never taken from the queue
    int queueDrops = 0;  // of those, dropped by a full key queue (the rest: on the node)
    int reordered = 0;   // taken after a later one
    int maxBacklog = 0;  // sent but not yet read off the node, at its largest
    double seconds = 0;  // of sending
};

// Sends `count` IR reports at `rate` per second (in 1 ms ticks) through `send`, each
// with its own code, and waits up to a second for the last to come through.
// `queueDrops` tells how many codes the key queue has dropped so far.
inline ReportRateRun RunAtReportRate(KeyQueue& queue, int rate, int count,
                                     const std::function<bool(IrScanCode)>& send,
                                     const std::function<int()>& queueDrops) {
    using Clock = std::chrono::steady_clock;
    auto codeOf = [](int i) { return static_cast<IrScanCode>(0x0100 + i % 0x7E00); };
    std::atomic<int> received{0};
    std::atomic<int> reordered{0};
    std::atomic<bool> sending{true};
    std::thread consumer([&] {
        int next = 0;
        auto quietSince = Clock::now();
        for (;;) {
            IrScanCode code = 0;
            if (queue.PopIrKey(&code, 20)) {
                // Codes repeat every 0x7E00 reports; a step back by less than half of
                // that is a reorder, not the wrap.
                const int index = code - 0x0100;
                const int expected = next % 0x7E00;
                if (index < expected && expected - index < 0x3F00) {
                    reordered.fetch_add(1);
                } else {
                    next += (index - expected + 0x7E00) % 0x7E00 + 1;
                }
                received.fetch_add(1);
                quietSince = Clock::now();
            } else if (!sending.load() && Clock::now() - quietSince > std::chrono::seconds(1)) {
                return;
            }
        }
    });
    ReportRateRun run;
    const int drops0 = queueDrops();
    const auto start = Clock::now();
    for (int tick = 1; run.sent < count; ++tick) {
        const int due =
            std::min(count, static_cast<int>(static_cast<std::int64_t>(rate) * tick / 1000));
        while (run.sent < due && send(codeOf(run.sent)))
            ++run.sent;
        if (run.sent < due)
            break;  // the node is gone
        const int backlog = run.sent - received.load() - static_cast<int>(queue.IrCount()) -
                            (queueDrops() - drops0);
        run.maxBacklog = std::max(run.maxBacklog, backlog);
        std::this_thread::sleep_until(start + std::chrono::milliseconds(tick));
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    sending = false;
    consumer.join();
    run.received = received.load();
    run.reordered = reordered.load();
    run.lost = run.sent - run.received;
    run.queueDrops = queueDrops() - drops0;
    return run;
}
