#include "diagnosis/receiver_check.h"

#include <cerrno>
#include <cstring>
#include <thread>

#include "diagnosis/kit_survey.h"
#include "platform/hid/hid_device.h"
#include "receiver/hid_manager.h"
#include "receiver/receiver_monitor.h"

std::string_view ReceiverCheckKey(ReceiverCheckState state) {
    switch (state) {
        case ReceiverCheckState::Working:
            return "working";
        case ReceiverCheckState::Absent:
            return "absent";
        case ReceiverCheckState::Denied:
            return "denied";
        case ReceiverCheckState::Held:
            return "held";
        case ReceiverCheckState::Failed:
            break;
    }
    return "failed";
}

// Search and exclusive open, exactly as a receiver thread does them.
ReceiverCheck CheckReceiver(HidSystem& hid, bool ir) {
    ReceiverCheck r;
    r.ir = ir;
    char path[kHidPathSize] = {};
    HidManager* manager = GetHidManager();
    const bool found =
        ir ? manager->FindIrReceiver(hid, path) : manager->FindGameReceiver(hid, path);
    if (!found) {
        r.state = ReceiverCheckState::Absent;
        r.reason = std::string("no ") + (ir ? "IR" : "game-controller") +
                   " receiver of the kit (USB 0471:0606) among the hidraw nodes";
        return r;
    }
    r.path = path;
    const ReceiverNodeOpen open = OpenReceiverNode(
        hid, path, [] { std::this_thread::sleep_for(ReceiverMonitor::kOpenRetryWait); });
    if (open.handle) {
        r.state = ReceiverCheckState::Working;
        return r;
    }
    const int error = open.error;
    switch (error) {
        case EACCES:
        case EPERM:
            r.state = ReceiverCheckState::Denied;
            r.reason = std::string("this user may not open it (") + std::strerror(error) + ")";
            break;
        case EWOULDBLOCK:
            r.state = ReceiverCheckState::Held;
            r.holders = FindNodeHolders(path);
            r.reason = "another program holds it";
            if (!r.holders.empty())
                r.reason += ": " + HoldersText(r.holders);
            break;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            r.state = ReceiverCheckState::Absent;
            r.reason = "it went away while being opened";
            break;
        default:
            r.state = ReceiverCheckState::Failed;
            r.reason = std::string("cannot open it: ") + std::strerror(error);
            break;
    }
    return r;
}
