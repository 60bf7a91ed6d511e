// quillonctl check: both receivers opened the way the window opens them, and each
// one's state, as an exit status a production line can act on.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "decode/status_texts.h"
#include "platform/hid_arrival_watcher.h"
#include "platform/hid_device.h"
#include "platform/node_holders.h"
#include "quillonctl/ctl.h"
#include "receiver/hid_manager.h"
#include "receiver/types.h"

namespace {

enum class State { Working, Absent, Denied, Held, Failed };

struct ReceiverState {
    bool ir = true;
    State state = State::Absent;
    std::string path;
    std::string reason;  // why it does not work, in words
    std::vector<NodeHolder> holders;
};

const char* StateKey(State state) {
    switch (state) {
        case State::Working:
            return "working";
        case State::Absent:
            return "absent";
        case State::Denied:
            return "denied";
        case State::Held:
            return "held";
        case State::Failed:
            break;
    }
    return "failed";
}

int ExitFor(State state) {
    switch (state) {
        case State::Working:
            return kExitOk;
        case State::Absent:
            return kExitAbsent;
        case State::Denied:
            return kExitDenied;
        case State::Held:
            return kExitHeld;
        case State::Failed:
            break;
    }
    return kExitUsage;
}

// Search and exclusive open, exactly as a receiver thread does them; the open is
// closed again at once.
ReceiverState Check(bool ir) {
    ReceiverState r;
    r.ir = ir;
    char path[kHidPathSize] = {};
    HidManager* manager = GetHidManager();
    const bool found =
        ir ? manager->FindIrReceiver(CtlHid(), path) : manager->FindGameReceiver(CtlHid(), path);
    if (!found) {
        r.state = State::Absent;
        r.reason = std::string("no ") + (ir ? "IR" : "game-controller") +
                   " receiver of the kit (USB 0471:0606) among the hidraw nodes";
        return r;
    }
    r.path = path;
    HidDeviceInfo info;
    if (CtlHid().OpenHidDevice(path, true, true, true, true, false, &info) == HID_OPEN_OK) {
        r.state = State::Working;
        return r;
    }
    const int error = errno;
    switch (error) {
        case EACCES:
        case EPERM:
            r.state = State::Denied;
            r.reason = std::string("this user may not open it (") + std::strerror(error) + ")";
            break;
        case EWOULDBLOCK:
            r.state = State::Held;
            r.holders = FindNodeHolders(path);
            r.reason = "another program holds it";
            for (const NodeHolder& h : r.holders) {
                r.reason += (&h == &r.holders.front() ? ": " : ", ") + std::to_string(h.pid);
                if (!h.command.empty())
                    r.reason += " (" + h.command + ")";
            }
            break;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            r.state = State::Absent;
            r.reason = "it went away while being opened";
            break;
        default:
            r.state = State::Failed;
            r.reason = std::string("cannot open it: ") + std::strerror(error);
            break;
    }
    return r;
}

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

    ReceiverState states[2];
    for (;;) {
        unsigned seen = 0;
        {
            std::lock_guard lock(arrivals.mutex);
            seen = arrivals.count;
        }
        states[0] = Check(true);
        states[1] = Check(false);
        if (states[0].state == State::Working && states[1].state == State::Working)
            break;
        std::unique_lock lock(arrivals.mutex);
        if (!arrivals.changed.wait_until(lock, deadline, [&] { return arrivals.count != seen; }))
            break;  // no time left, or none asked for
    }
    watcher.Stop();

    // Several faults: the highest status.
    const int status = std::max(ExitFor(states[0].state), ExitFor(states[1].state));
    if (options.json) {
        nlohmann::json list = nlohmann::json::array();
        for (const ReceiverState& r : states) {
            const int code = r.state == State::Working ? RECEIVER_READING : RECEIVER_WAITING;
            nlohmann::json holders = nlohmann::json::array();
            for (const NodeHolder& h : r.holders)
                holders.push_back({{"pid", h.pid}, {"command", h.command}, {"lock", h.kind}});
            list.push_back({{"role", r.ir ? "ir-receiver" : "game-receiver"},
                            {"state", StateKey(r.state)},
                            {"status_text", r.ir ? IrStatusText(code) : GameStatusText(code)},
                            {"path", r.path},
                            {"reason", r.reason},
                            {"holders", holders}});
        }
        PrintJson({{"receivers", list}, {"exit_status", status}});
        return status;
    }
    for (const ReceiverState& r : states) {
        const int code = r.state == State::Working ? RECEIVER_READING : RECEIVER_WAITING;
        const char* text = r.ir ? IrStatusText(code) : GameStatusText(code);
        std::string detail = r.path;
        if (!r.reason.empty())
            detail += (detail.empty() ? "" : ": ") + r.reason;
        std::printf("%s  %s\n", text, detail.c_str());
    }
    return status;
}
