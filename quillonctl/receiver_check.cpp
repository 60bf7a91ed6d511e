#include "quillonctl/receiver_check.h"

#include <string>

#include "decode/status_texts.h"
#include "quillonctl/ctl.h"
#include "quillonctl/texts.h"
#include "receiver/types.h"

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

int RequireIrReceiver() {
    const ReceiverCheck check = CheckReceiver(CtlHid(), true);
    if (check.state == ReceiverCheckState::Working)
        return kExitOk;
    std::string detail = check.path;
    if (!check.reason.empty())
        detail += (detail.empty() ? "" : ": ") + check.reason;
    Fail(std::string(ShownStatus(ReceiverCheckText(check))) + "  " + detail);
    return ReceiverCheckExit(check.state);
}
