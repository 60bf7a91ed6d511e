// quillonctl watch: one line (or JSON Lines record) per receiver, key and token event
// until Ctrl-C, SIGTERM or SIGHUP, then a summary.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/process/stop_signals.h"
#include "quillonctl/ctl.h"
#include "quillonctl/event_loop.h"
#include "quillonctl/output_writer.h"
#include "quillonctl/service_setup.h"
#include "quillonctl/terminal_dialog.h"
#include "quillonctl/texts.h"
#include "station/receiver_session.h"

namespace {

// What a stop leaves the output for what is still queued (the summary among it);
// a reader that takes nothing in that time gets nothing more.
constexpr std::chrono::milliseconds kOutputGrace{300};

}  // namespace

int RunWatch(const CtlOptions& options, bool verify) {
    if (StdoutCameClosed())
        return Fail(Translate("quillonctl", "stdout is closed; watch has nowhere to write"));
    std::string error;
    if (verify && !SetUpServiceFlows(options, &error))
        return Fail(error);
    if (!InstallStopSignals(&error))
        return Fail(error);
    EventLoop loop;
    OutputWriter output(STDOUT_FILENO);
    // An output that fails ends the watch: nobody would see what follows.
    if (!output.Start([&loop] { loop.Quit(); }))
        return Fail(Translate("quillonctl", "cannot start the output thread"));
    TerminalDialog::Settings settings{true, options.json, verify};
    settings.output = &output;
    TerminalDialog dialog(settings);
    ReceiverSession session(dialog);
    if (!session.Start())
        return Fail(Translate("quillonctl", "cannot start the receiver threads"));
    loop.Run();  // until a stop signal, or the output failed
    session.Stop();
    dialog.WriteSummary();
    output.Finish(kOutputGrace);
    const std::string failure = output.Failure();
    if (!failure.empty())
        return Fail(
            Format(Translate("quillonctl", "writing to stdout failed: %s"), failure.c_str()));
    if (const std::uint64_t dropped = output.Dropped(); dropped > 0) {
        Tell(Format(Translate("quillonctl", "%llu event%s not written: stdout did not keep up"),
                    static_cast<unsigned long long>(dropped), dropped == 1 ? "" : "s"));
    }
    return kExitOk;
}
