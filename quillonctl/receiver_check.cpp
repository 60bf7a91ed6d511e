#include "quillonctl/receiver_check.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "decode/status_texts.h"
#include "diagnosis/kit_survey.h"
#include "platform/hid/hid_device.h"
#include "quillonctl/ctl.h"
#include "receiver/hid_manager.h"
#include "receiver/types.h"

const char* ReceiverCheckKey(ReceiverCheckState state) {
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

int ReceiverCheckExit(ReceiverCheckState state) {
    switch (state) {
        case ReceiverCheckState::Working:
            return kExitOk;
        case ReceiverCheckState::Absent:
            return kExitAbsent;
        case ReceiverCheckState::Denied:
            return kExitDenied;
        case ReceiverCheckState::Held:
            return kExitHeld;
        case ReceiverCheckState::Failed:
            break;
    }
    return kExitUsage;
}

const char* ReceiverCheckText(const ReceiverCheck& check) {
    const int code =
        check.state == ReceiverCheckState::Working ? RECEIVER_READING : RECEIVER_WAITING;
    return check.ir ? IrStatusText(code) : GameStatusText(code);
}

// Search and exclusive open, exactly as a receiver thread does them.
ReceiverCheck CheckReceiver(bool ir) {
    ReceiverCheck r;
    r.ir = ir;
    char path[kHidPathSize] = {};
    HidManager* manager = GetHidManager();
    const bool found =
        ir ? manager->FindIrReceiver(CtlHid(), path) : manager->FindGameReceiver(CtlHid(), path);
    if (!found) {
        r.state = ReceiverCheckState::Absent;
        r.reason = std::string("no ") + (ir ? "IR" : "game-controller") +
                   " receiver of the kit (USB 0471:0606) among the hidraw nodes";
        return r;
    }
    r.path = path;
    HidDeviceInfo info;
    if (CtlHid().OpenHidDevice(path, true, true, true, true, false, &info) == HID_OPEN_OK) {
        r.state = ReceiverCheckState::Working;
        return r;
    }
    const int error = errno;
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

int RequireIrReceiver() {
    const ReceiverCheck check = CheckReceiver(true);
    if (check.state == ReceiverCheckState::Working)
        return kExitOk;
    std::string detail = check.path;
    if (!check.reason.empty())
        detail += (detail.empty() ? "" : ": ") + check.reason;
    Fail(std::string(ReceiverCheckText(check)) + "  " + detail);
    return ReceiverCheckExit(check.state);
}
