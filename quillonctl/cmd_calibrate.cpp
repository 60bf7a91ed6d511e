// quillonctl calibrate: the token calibration of the window's "令匙校准" dialog on a
// terminal. The same calibration steps drive it (TokenCalibration); this file only
// renders them and runs their timers on the terminal program's loop.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/process/stop_signals.h"
#include "quillonctl/ctl.h"
#include "quillonctl/event_loop.h"
#include "quillonctl/receiver_check.h"
#include "quillonctl/service_setup.h"
#include "quillonctl/terminal_dialog.h"
#include "quillonctl/texts.h"
#include "service/token_calibration.h"
#include "service/token_verification.h"
#include "station/receiver_session.h"

namespace {

using namespace std::chrono_literals;

constexpr int kCountdownTimer = 100;  // not one of the calibration's own ids

const char* VerdictKey(CalibrationVerdict verdict, std::optional<std::int32_t> result) {
    switch (verdict) {
        case CalibrationVerdict::Passed:
            return "passed";
        case CalibrationVerdict::NotPassed:
            return result == RESULT_TOKEN_BOUND ? "bound" : "not_passed";
        case CalibrationVerdict::NetworkFailure:
            return "network_failure";
        case CalibrationVerdict::Exception:
            return "exception";
        case CalibrationVerdict::TimedOut:
            break;
    }
    return "timed_out";
}

// Exit statuses as for verify; a time-out without a second input is "not passed".
int ExitFor(CalibrationVerdict verdict, std::optional<std::int32_t> result) {
    switch (verdict) {
        case CalibrationVerdict::Passed:
            return kExitOk;
        case CalibrationVerdict::NotPassed:
            return result == RESULT_TOKEN_BOUND ? kExitBound : kExitNotPassed;
        case CalibrationVerdict::TimedOut:
            return kExitNotPassed;
        case CalibrationVerdict::NetworkFailure:
        case CalibrationVerdict::Exception:
            break;
    }
    return kExitServiceFailed;
}

// A password after its label: the source's full-width colon spaces itself, an ASCII one
// (a translation's) takes a space.
std::string Labelled(const char* label, const std::string& value) {
    const std::string text(label);
    return text + (text.ends_with(':') ? " " : "") + value;
}

class TerminalCalibration : public ICalibrationDialog {
public:
    // The dialog's texts go to stdout; with JSON there, to stderr, and only for a
    // person at a terminal.
    TerminalCalibration(EventLoop& loop, bool json, std::chrono::milliseconds waitPeriod)
        : m_loop(loop),
          m_out(json ? stderr : stdout),
          m_show(!json || ::isatty(STDERR_FILENO)),
          m_tty(::isatty(json ? STDERR_FILENO : STDOUT_FILENO)),
          m_wait(waitPeriod) {}

    void Attach(TokenCalibration* core) { m_core = core; }

    void FieldsChanged() override {
        if (m_core->FirstPassword() != m_first) {
            m_first = m_core->FirstPassword();
            Line(Labelled(Translate("quillonctl", "第一次动态密码："), m_first));
        }
        if (m_core->SecondPassword() != m_second) {
            m_second = m_core->SecondPassword();
            Line(Labelled(Translate("quillonctl", "第二次动态密码："), m_second));
        }
        if (m_core->Status() != m_status) {
            m_status = m_core->Status();
            Line(ShownStatus(m_status.c_str()));
            if (m_status != "请再次输入令匙键")
                StartCountdown(m_wait);
            else
                StopCountdown();
        }
    }
    void EnableSecondInput(bool) override {}
    void ShowVerdict(CalibrationVerdict verdict) override {
        m_verdict = verdict;
        Line(WithServiceResult(ShownStatus(CalibrationVerdictText(verdict)),
                               m_core->ServiceResult()));
    }
    void Closed() override {
        StopCountdown();
        m_loop.Quit();
    }
    void SetTimer(int id, std::chrono::milliseconds period) override {
        m_loop.SetTimer(id, period, [this, id] { m_core->OnTimer(id); });
    }
    void KillTimer(int id) override { m_loop.KillTimer(id); }
    void Post(std::function<void()> call) override { m_loop.Post(std::move(call)); }

    void Line(const std::string& text) {
        if (!m_show)
            return;
        ClearCountdown();
        std::fprintf(m_out, "%s\n", text.c_str());
        std::fflush(m_out);
    }

    // While a wait runs, the seconds left, on one line that is rewritten (a TTY only).
    void StartCountdown(std::chrono::milliseconds period) {
        StopCountdown();
        if (!m_tty || !m_show)
            return;
        m_countdownEnd = std::chrono::steady_clock::now() + period;
        Tick();
        m_loop.SetTimer(kCountdownTimer, 1s, [this] { Tick(); });
    }

    std::optional<CalibrationVerdict> Verdict() const { return m_verdict; }
    const std::string& First() const { return m_first; }
    const std::string& Second() const { return m_second; }

private:
    void Tick() {
        const auto left = std::chrono::ceil<std::chrono::seconds>(m_countdownEnd -
                                                                  std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            StopCountdown();
            return;
        }
        std::fprintf(m_out, "\r  %lld s ", static_cast<long long>(left.count()));
        std::fflush(m_out);
        m_countdownShown = true;
    }
    void StopCountdown() {
        m_loop.KillTimer(kCountdownTimer);
        ClearCountdown();
    }
    void ClearCountdown() {
        if (!m_countdownShown)
            return;
        std::fprintf(m_out, "\r          \r");
        m_countdownShown = false;
    }

    EventLoop& m_loop;
    std::FILE* const m_out;
    const bool m_show;
    const bool m_tty;
    const std::chrono::milliseconds m_wait;
    TokenCalibration* m_core = nullptr;
    std::string m_first;
    std::string m_second;
    std::string m_status;
    std::optional<CalibrationVerdict> m_verdict;
    std::chrono::steady_clock::time_point m_countdownEnd;
    bool m_countdownShown = false;
};

}  // namespace

int RunCalibrate(const CtlOptions& options, double waitSeconds, double timeoutSeconds) {
    std::string error;
    if (!SetUpServiceFlows(options, &error))
        return Fail(error);
    if (!InstallStopSignals(&error))
        return Fail(error);

    const TokenCalibration::Periods periods{
        std::chrono::milliseconds(static_cast<long long>(waitSeconds * 1000)),
        std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000))};
    // Without a working receiver no press can come: say why at once.
    if (const int status = RequireIrReceiver(); status != kExitOk)
        return status;
    EventLoop loop;
    TerminalDialog dialog({false, options.json, false});
    ReceiverSession session(dialog);
    TerminalCalibration face(loop, options.json, periods.wait);
    std::optional<std::int32_t> result;
    bool signalled = false;
    {
        TokenCalibration calibration(face, periods);
        face.Attach(&calibration);
        if (!session.Start())
            return Fail(Translate("quillonctl", "cannot start the receiver threads"));
        face.Line(Translate("quillonctl", "令匙校准"));
        face.Line(Translate("quillonctl", "请按令匙键输入令匙值"));
        calibration.Start();
        // The time-out applies to the first press too, not only from it: the first
        // input sets the same timer again.
        face.SetTimer(TokenCalibration::IDT_TIMEOUT, periods.timeout);
        face.StartCountdown(periods.timeout);
        signalled = loop.Run();
        // A stop signal ends it as Escape ends the dialog: the call is cancelled.
        calibration.Cancel();
        result = calibration.ServiceResult();
    }
    session.Stop();
    if (signalled) {
        EndByStopSignal();
        return kExitUsage;
    }
    const std::optional<CalibrationVerdict> verdict = face.Verdict();
    if (!verdict)
        return Fail(Translate("quillonctl", "the calibration ended without a verdict"));
    const int status = ExitFor(*verdict, result);
    if (options.json) {
        PrintJson({{"verdict", VerdictKey(*verdict, result)},
                   {"text", CalibrationVerdictText(*verdict)},
                   {"first_password", face.First()},
                   {"second_password", face.Second()},
                   {"service_result", ServiceResultJson(result)},
                   {"exit_status", status}});
    }
    return status;
}
