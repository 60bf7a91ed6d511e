// quillonctl watch: one line (or JSON Lines record) per receiver, key and token event
// until Ctrl-C, SIGTERM or SIGHUP, then a summary.

#include <cstdio>
#include <string>

#include "platform/stop_signals.h"
#include "quillonctl/ctl.h"
#include "quillonctl/event_loop.h"
#include "quillonctl/receiver_session.h"
#include "quillonctl/service_setup.h"
#include "quillonctl/terminal_dialog.h"

int RunWatch(const CtlOptions& options, bool verify) {
    std::string error;
    if (verify && !SetUpServiceFlows(options, &error))
        return Fail(error);
    if (!InstallStopSignals(&error))
        return Fail(error);
    TerminalDialog dialog({true, options.json, verify});
    ReceiverSession session(dialog);
    if (!session.Start())
        return Fail("cannot start the receiver threads");
    EventLoop loop;
    loop.Run();  // until a stop signal
    session.Stop();
    dialog.WriteSummary();
    return kExitOk;
}
