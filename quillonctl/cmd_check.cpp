// quillonctl check: both receivers opened the way the window opens them, and each
// one's state, as an exit status a production line can act on.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "decode/status_texts.h"
#include "diagnosis/kit_survey.h"
#include "platform/hid/hid_arrival_watcher.h"
#include "platform/hid/hid_device.h"
#include "quillonctl/ctl.h"
#include "quillonctl/receiver_check.h"
#include "quillonctl/texts.h"
#include "receiver/hid_manager.h"
#include "receiver/types.h"

namespace {

// Wakes the wait in RunCheck whenever a node may have arrived or changed.
struct Arrivals {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned count = 0;
};

}  // namespace

int RunCheck(const CtlOptions& options, double timeoutSeconds) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(timeoutSeconds));
    Arrivals arrivals;
    HidArrivalWatcher watcher;
    if (timeoutSeconds > 0) {
        watcher.Start(CtlHid().DevRoot(), [&arrivals] {
            {
                std::lock_guard lock(arrivals.mutex);
                ++arrivals.count;
            }
            arrivals.changed.notify_all();
        });
    }

    const bool countdown = !options.json && timeoutSeconds > 0 && ::isatty(STDOUT_FILENO);
    std::size_t countdownShown = 0;  // the length of the countdown's line
    ReceiverCheck states[2];
    for (;;) {
        unsigned seen = 0;
        {
            std::lock_guard lock(arrivals.mutex);
            seen = arrivals.count;
        }
        states[0] = CheckReceiver(CtlHid(), true);
        states[1] = CheckReceiver(CtlHid(), false);
        if (states[0].state == ReceiverCheckState::Working &&
            states[1].state == ReceiverCheckState::Working)
            break;
        std::unique_lock lock(arrivals.mutex);
        bool woken = false;
        for (;;) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline)
                break;  // no time left, or none asked for
            // On a terminal the seconds left, rewritten on one line each second.
            auto until = deadline;
            if (countdown) {
                const auto left = std::chrono::ceil<std::chrono::seconds>(deadline - now);
                const std::string line =
                    Format(Translate("quillonctl", "waiting for the receivers: %lld s"),
                           static_cast<long long>(left.count()));
                std::printf("\r%s ", line.c_str());
                std::fflush(stdout);
                countdownShown = std::max(countdownShown, line.size() + 1);
                until = std::min(deadline, now + std::chrono::seconds(1));
            }
            if (arrivals.changed.wait_until(lock, until, [&] { return arrivals.count != seen; })) {
                woken = true;
                break;
            }
        }
        if (!woken)
            break;
    }
    if (countdownShown > 0) {
        // A translation may be longer than the English line.
        std::printf("\r%*s\r", static_cast<int>(std::max<std::size_t>(countdownShown, 40)), "");
        std::fflush(stdout);
    }
    watcher.Stop();

    // Several faults: the highest status.
    const int status =
        std::max(ReceiverCheckExit(states[0].state), ReceiverCheckExit(states[1].state));
    if (options.json) {
        nlohmann::json list = nlohmann::json::array();
        for (const ReceiverCheck& r : states) {
            const int code =
                r.state == ReceiverCheckState::Working ? RECEIVER_READING : RECEIVER_WAITING;
            nlohmann::json holders = nlohmann::json::array();
            for (const NodeHolder& h : r.holders)
                holders.push_back({{"pid", h.pid}, {"command", h.command}, {"lock", h.kind}});
            list.push_back({{"role", RoleKey(r.ir ? NodeRole::IrReceiver : NodeRole::GameReceiver)},
                            {"state", std::string(ReceiverCheckKey(r.state))},
                            {"status_text", r.ir ? IrStatusText(code) : GameStatusText(code)},
                            {"path", r.path},
                            {"reason", r.reason},
                            {"holders", holders}});
        }
        PrintJson({{"receivers", list}, {"exit_status", status}});
        return status;
    }
    for (const ReceiverCheck& r : states) {
        const int code =
            r.state == ReceiverCheckState::Working ? RECEIVER_READING : RECEIVER_WAITING;
        const char* text = ShownStatus(r.ir ? IrStatusText(code) : GameStatusText(code));
        std::string detail = r.path;
        if (!r.reason.empty())
            detail += (detail.empty() ? "" : ": ") + r.reason;
        std::printf("%s  %s\n", text, detail.c_str());
    }
    return status;
}
