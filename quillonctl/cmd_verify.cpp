// quillonctl verify: one ReviseEkey verification of a given serial number and
// password, or of the next press of the token key, with the window's verdict texts.

#include <cstdio>
#include <optional>
#include <string>

#include "platform/process/display_escape.h"
#include "platform/process/running.h"
#include "platform/process/stop_signals.h"
#include "platform/process/worker_thread.h"
#include "quillonctl/ctl.h"
#include "quillonctl/event_loop.h"
#include "quillonctl/receiver_check.h"
#include "quillonctl/service_setup.h"
#include "quillonctl/terminal_dialog.h"
#include "quillonctl/texts.h"
#include "receiver/types.h"
#include "service/service_config.h"
#include "service/token_verification.h"
#include "station/receiver_session.h"

namespace {

int ExitFor(VerifyOutcome outcome) {
    switch (outcome) {
        case VerifyOutcome::Passed:
            return kExitOk;
        case VerifyOutcome::NotPassed:
            return kExitNotPassed;
        case VerifyOutcome::Bound:
            return kExitBound;
        case VerifyOutcome::NetworkFailure:
        case VerifyOutcome::Exception:
            break;
    }
    return kExitServiceFailed;
}

// Runs the verification on a thread of its own while `loop` watches for a stop
// signal, which cancels the call (StopRunning) instead of waiting for the network.
// Nothing when a signal came first.
std::optional<VerifyOutcome> VerifyInterruptibly(EventLoop& loop, const std::string& serial,
                                                 const std::string& password,
                                                 std::optional<std::int32_t>* result) {
    std::optional<VerifyOutcome> outcome;
    WorkerThread call;
    if (!call.Start([&] {
            outcome = RunTokenVerification(serial, password, result);
            loop.Quit();
        })) {
        return VerifyOutcome::Exception;
    }
    const bool signalled = loop.Run();
    if (signalled)
        StopRunning();
    call.Join();
    if (signalled)
        return std::nullopt;
    return outcome;
}

// Far beyond a real serial number or password, and short enough for a message.
constexpr std::size_t kMaxValueBytes = 64;

// A value given on the command line, before anything is sent: false (with a message)
// for what the request cannot carry or no token has, true with a warning for a value
// that is not `digits` digits, which the service may still be probed with.
bool CheckGivenValue(const char* option, const std::string& value, std::size_t digits) {
    const std::string shown = EscapeForDisplay(value);
    if (value.size() > kMaxValueBytes) {
        Fail(Format(Translate("quillonctl", "%s: longer than %zu bytes: \"%s\"..."), option,
                    kMaxValueBytes, EscapeForDisplay(value.substr(0, kMaxValueBytes)).c_str()));
        return false;
    }
    // Whatever EscapeForDisplay has to escape: control characters, U+FFFE, U+FFFF,
    // bidirectional overrides and bytes that are not UTF-8 (backslashes aside, which it
    // doubles).
    std::string doubled;
    for (const char c : value)
        doubled += c == '\\' ? std::string(2, c) : std::string(1, c);
    const bool plain = shown == doubled;
    if (!plain) {
        Fail(Format(Translate("quillonctl",
                              "%s: holds a control character, U+FFFE, U+FFFF or "
                              "bytes that are not UTF-8: \"%s\""),
                    option, shown.c_str()));
        return false;
    }
    const bool allDigits =
        value.size() == digits && value.find_first_not_of("0123456789") == std::string::npos;
    if (!allDigits) {
        Tell(Format(Translate("quillonctl", "warning: %s \"%s\" is not %zu digits; sent as it is"),
                    option, shown.c_str(), digits));
    }
    return true;
}

}  // namespace

int RunVerify(const CtlOptions& options, const std::optional<std::string>& serialArg,
              const std::optional<std::string>& passwordArg, bool wait, double timeoutSeconds) {
    if (serialArg && !CheckGivenValue("--serial", *serialArg, 9))
        return kExitUsage;
    if (passwordArg && !CheckGivenValue("--password", *passwordArg, 8))
        return kExitUsage;
    std::string error;
    if (!SetUpServiceFlows(options, &error))
        return Fail(error);
    if (!InstallStopSignals(&error))
        return Fail(error);

    std::string serial = serialArg.value_or("");
    std::string password = passwordArg.value_or("");
    EventLoop loop;
    TerminalDialog dialog({false, options.json, false});
    ReceiverSession session(dialog);
    if (wait) {
        dialog.SetFrameHook([&](const TerminalDialog::Frame& frame) {
            if (frame.result != TOKEN_OK)
                return;  // a failed frame: the next press may do
            loop.Post([&, frame] {
                serial = frame.serial;
                password = frame.password;
                loop.Quit();
            });
        });
        // Without a working receiver no press can come: say why at once.
        if (const int status = RequireIrReceiver(); status != kExitOk)
            return status;
        if (!session.Start())
            return Fail(Translate("quillonctl", "cannot start the receiver threads"));
        if (!options.json)
            std::printf("%s\n", Format(Translate("quillonctl", "press the token key (%.0f s)"),
                                       timeoutSeconds)
                                    .c_str());
        std::fflush(stdout);
        loop.SetTimer(0, std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000)),
                      [&] { loop.Quit(); });
        if (loop.Run()) {
            session.Stop();
            EndByStopSignal();
            return kExitUsage;
        }
        loop.KillTimer(0);
        if (serial.empty()) {
            session.Stop();
            return Fail(Format(Translate("quillonctl", "no token input within %d s"),
                               static_cast<int>(timeoutSeconds)));
        }
    } else {
        // The call is cancelled when the run ends; it must have begun for it to go out.
        BeginRunning();
    }

    EventLoop callLoop;
    std::optional<std::int32_t> result;
    const std::optional<VerifyOutcome> outcome =
        VerifyInterruptibly(callLoop, serial, password, &result);
    session.Stop();
    if (!outcome) {
        EndByStopSignal();
        return kExitUsage;
    }
    const int status = ExitFor(*outcome);
    const std::string hint =
        BuiltInEndpointHint(ConfigEnvironment::FromProcess(), options.endpoint);
    if (status == kExitServiceFailed && !hint.empty())
        std::fprintf(stderr, "quillonctl: %s\n", hint.c_str());
    if (options.json) {
        PrintJson({{"serial", serial},
                   {"password", password},
                   {"verdict", VerifyOutcomeKey(*outcome)},
                   {"text", VerifyText(*outcome)},
                   {"service_result", ServiceResultJson(result)},
                   {"exit_status", status}});
    } else {
        std::printf("%s %s: %s\n", serial.c_str(), password.c_str(),
                    WithServiceResult(ShownStatus(VerifyText(*outcome)), result).c_str());
    }
    return status;
}
