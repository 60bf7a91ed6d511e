#pragma once

// Helpers for tests that run both receiver threads against a recording dialog.

#include <algorithm>
#include <chrono>
#include <vector>

#include "platform/process/running.h"
#include "platform/process/worker_thread.h"
#include "receiver/key_queue.h"
#include "tests/support/recording_dialog.h"

// Empties both queues: codes left by an earlier test must not reach this one.
inline void DrainKeyQueue(KeyQueue* queue) {
    IrScanCode ir = 0;
    GameScanCode game = 0;
    while (queue->PopIrKey(&ir, 0)) {
    }
    while (queue->PopGameKey(&game, 0)) {
    }
}

// Stops the program and joins both threads; true when both ended within `limit`.
inline bool StopReceiverThreads(WorkerThread& ir, WorkerThread& game,
                                std::chrono::milliseconds limit) {
    StopRunning();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::max(deadline - std::chrono::steady_clock::now(),
                     std::chrono::steady_clock::duration::zero()));
    };
    const bool ended = ir.WaitFor(left()) && game.WaitFor(left());
    ir.Join();
    game.Join();
    return ended;
}

// The values of the status calls of one kind, in order.
inline std::vector<int> Statuses(const std::vector<DialogCall>& calls, DialogCall::Kind kind) {
    std::vector<int> statuses;
    for (const auto& c : calls) {
        if (c.kind == kind)
            statuses.push_back(c.value);
    }
    return statuses;
}
