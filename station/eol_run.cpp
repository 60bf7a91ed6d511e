#include "station/eol_run.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>

#include "decode/token_frame.h"
#include "diagnosis/kit_survey.h"
#include "diagnosis/receiver_check.h"
#include "receiver/key_names.h"
#include "service/token_taken.h"

namespace {

// The calibration's timers, beside the front end's own.
constexpr int kCalibrationTimers = 1000;

int ExitForCheck(const std::string& state) {
    if (state == "absent")
        return kEolAbsent;
    if (state == "denied")
        return kEolDenied;
    if (state == "held")
        return kEolHeld;
    return kEolAbsent;
}

std::string WithResult(const std::string& text, std::optional<std::int32_t> result) {
    if (!result)
        return text;
    return text + " (result " + std::to_string(*result) + ")";
}

}  // namespace

std::string DefaultStation() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name;
}

std::vector<ExaminedReceiver> ExamineReceivers(HidSystem& hid) {
    std::vector<NodeReport> nodes;
    std::string error;
    SurveyNodes(hid, &nodes, &error);
    std::vector<ExaminedReceiver> receivers;
    for (const bool ir : {true, false}) {
        const ReceiverCheck check = CheckReceiver(hid, ir);
        ExaminedReceiver examined;
        examined.why = check.reason;
        ReceiverRecord& r = examined.record;
        r.role = ir ? "ir" : "game";
        r.state = std::string(ReceiverCheckKey(check.state));
        r.node = check.path;
        if (const NodeReport* node =
                ReceiverNodeOf(nodes, ir ? NodeRole::IrReceiver : NodeRole::GameReceiver)) {
            r.usbPath = node->usbPath;
            r.vendor = node->vendor;
            r.product = node->product;
            if (r.node.empty())
                r.node = node->path;
        }
        receivers.push_back(std::move(examined));
    }
    return receivers;
}

EndOfLineRun::EndOfLineRun(EolSettings settings, std::function<void()> changed,
                           std::function<Clock::time_point()> clock)
    : m_settings(std::move(settings)), m_changed(std::move(changed)), m_clock(std::move(clock)) {
    m_runStart = m_clock();
    m_record.id = NewRunId();
    m_record.station = m_settings.station;
    m_record.operatorId = m_settings.operatorId;
    m_record.labelSerial = m_settings.labelSerial;
    m_record.version = m_settings.version;
    m_record.started = UtcNow();
    m_self = std::make_shared<EndOfLineRun*>(this);
}

EndOfLineRun::~EndOfLineRun() {
    m_self.reset();
    // Ends its waiters and a call in progress.
    m_calibration.reset();
}

void EndOfLineRun::PostHere(std::function<void()> call) {
    if (!m_host)
        return;
    m_host->Post([weak = std::weak_ptr<EndOfLineRun*>(m_self), call = std::move(call)] {
        if (weak.lock())
            call();
    });
}

void EndOfLineRun::StartCalibration() {
    {
        std::lock_guard lock(m_mutex);
        if (m_step != EolStep::Calibration || m_calibration)
            return;
    }
    ICalibrationDialog& face = *this;
    m_calibration = std::make_unique<TokenCalibration>(face, m_settings.calibration);
    m_calibration->Start();
    m_changed();
}

// After the run ended otherwise (a signal, the time limit, a lost receiver).
void EndOfLineRun::EndCalibration() {
    if (m_calibration)
        m_calibration->Cancel();
}

void EndOfLineRun::FieldsChanged() {
    {
        std::lock_guard lock(m_mutex);
        m_calibrationStatus = m_calibration ? m_calibration->Status() : "";
    }
    m_changed();
}

void EndOfLineRun::ShowVerdict(CalibrationVerdict verdict) {
    const std::optional<std::int32_t> result =
        m_calibration ? m_calibration->ServiceResult() : std::nullopt;
    {
        std::lock_guard lock(m_mutex);
        if (m_step != EolStep::Calibration)
            return;
        ServiceCallRecord call;
        call.kind = "calibrate";
        call.at = UtcNow();
        call.result = result;
        switch (verdict) {
            case CalibrationVerdict::Passed:
                call.outcome = "passed";
                break;
            case CalibrationVerdict::NotPassed:
                call.outcome = result == RESULT_TOKEN_BOUND ? "bound" : "not_passed";
                break;
            case CalibrationVerdict::NetworkFailure:
                call.outcome = "network_failure";
                break;
            case CalibrationVerdict::Exception:
                call.outcome = "exception";
                break;
            case CalibrationVerdict::TimedOut:
                call.outcome = "not_called";
                break;
        }
        if (verdict != CalibrationVerdict::TimedOut)
            m_record.serviceCalls.push_back(call);
        m_serviceResult = result;
        if (verdict == CalibrationVerdict::Passed) {
            m_record.calibration = "passed";
            m_calibrated = true;
            EndStep(StepOutcome::Pass, "", 0);
            BeginStep("token");
            m_step = EolStep::Token;
        } else if (verdict == CalibrationVerdict::TimedOut) {
            m_record.calibration = "timed out";
            Finish(RunOutcome::Fail, "calibration: no second press in time", kEolNotPassed);
        } else if (verdict == CalibrationVerdict::NotPassed) {
            m_record.calibration = "not passed";
            Finish(RunOutcome::Fail, WithResult("calibration not passed", result),
                   result == RESULT_TOKEN_BOUND ? kEolBound : kEolNotPassed);
        } else {
            m_record.calibration = "service unreachable";
            Finish(RunOutcome::Error, "calibration: token service unreachable", kEolServiceFailed);
        }
        m_calibrationStatus.clear();
    }
    m_changed();
}

void EndOfLineRun::Closed() {
    // Not from inside its own call: destroyed on the next turn of the loop.
    PostHere([this] { m_calibration.reset(); });
}

void EndOfLineRun::SetTimer(int id, std::chrono::milliseconds period) {
    if (!m_host)
        return;
    m_host->SetTimer(kCalibrationTimers + id, period,
                     [weak = std::weak_ptr<EndOfLineRun*>(m_self), id] {
                         if (const auto self = weak.lock(); self && (*self)->m_calibration)
                             (*self)->m_calibration->OnTimer(id);
                     });
}

void EndOfLineRun::KillTimer(int id) {
    if (m_host)
        m_host->KillTimer(kCalibrationTimers + id);
}

void EndOfLineRun::Post(std::function<void()> call) {
    PostHere(std::move(call));
}

void EndOfLineRun::BeginStep(const char* name) {
    StepRecord step;
    step.name = name;
    step.started = UtcNow();
    m_record.steps.push_back(std::move(step));
    m_stepStart = m_clock();
}

void EndOfLineRun::EndStep(StepOutcome outcome, const std::string& why, int code) {
    if (m_record.steps.empty() || m_record.steps.back().ended != 0)
        return;
    StepRecord& step = m_record.steps.back();
    step.outcome = outcome;
    step.why = why;
    step.code = code;
    step.ended = UtcNow();
}

void EndOfLineRun::Finish(RunOutcome outcome, const std::string& why, int exitStatus) {
    if (m_step == EolStep::Done)
        return;
    const StepOutcome stepOutcome = outcome == RunOutcome::Pass    ? StepOutcome::Pass
                                    : outcome == RunOutcome::Fail  ? StepOutcome::Fail
                                    : outcome == RunOutcome::Error ? StepOutcome::Error
                                                                   : StepOutcome::Aborted;
    if (m_step == EolStep::Keys && m_keys)
        m_record.keys = m_keys->Records(m_clock());
    if (!m_record.steps.empty() && m_record.steps.back().ended == 0) {
        if (outcome != RunOutcome::Pass) {
            m_record.failedStep = m_record.steps.back().name;
        }
        EndStep(stepOutcome, why, exitStatus);
    }
    m_record.outcome = outcome;
    m_record.why = why;
    m_record.exitStatus = exitStatus;
    m_record.ended = UtcNow();
    m_step = EolStep::Done;
}

bool EndOfLineRun::TakeReceivers(const std::vector<ExaminedReceiver>& receivers) {
    {
        std::lock_guard lock(m_mutex);
        if (m_step != EolStep::Receivers)
            return m_step != EolStep::Done;
        BeginStep("receivers");
        for (const ExaminedReceiver& examined : receivers)
            m_record.receivers.push_back(examined.record);
        for (const ExaminedReceiver& examined : receivers) {
            const ReceiverRecord& r = examined.record;
            if (r.state == "working")
                continue;
            std::string why =
                std::string(r.role == "ir" ? "IR receiver" : "game-pad receiver") + " " + r.state;
            if (!examined.why.empty())
                why += ": " + examined.why;
            Finish(RunOutcome::Fail, why, ExitForCheck(r.state));
            break;
        }
        if (m_step != EolStep::Done) {
            EndStep(StepOutcome::Pass, "", 0);
            BeginStep("keys");
            m_step = EolStep::Keys;
            m_keys.emplace(m_settings.keys, m_settings.limits, m_stepStart);
            if (m_keys->Complete()) {
                EndStep(StepOutcome::Pass, "", 0);
                BeginStep("token");
                m_step = EolStep::Token;
            }
        }
    }
    m_changed();
    return !Finished();
}

void EndOfLineRun::KeysDone(Clock::time_point now) {
    m_record.keys = m_keys->Records(now);
    std::vector<KeyId> doubled;
    std::vector<KeyId> stuck;
    for (const KeyRecord& k : m_record.keys) {
        if (k.doubled)
            doubled.push_back(k.id);
        if (k.stuck)
            stuck.push_back(k.id);
    }
    const std::vector<KeyId> missing = m_keys->Missing();
    std::string why;
    if (!missing.empty())
        why = (missing.size() == 1 ? "key " : "keys ") + KeyNames(missing) + " not pressed";
    else if (!stuck.empty())
        why = (stuck.size() == 1 ? "key " : "keys ") + KeyNames(stuck) + " stuck";
    else if (!doubled.empty())
        why = (doubled.size() == 1 ? "key " : "keys ") + KeyNames(doubled) +
              " registered twice for one press";
    if (!why.empty()) {
        m_keys.reset();
        Finish(RunOutcome::Fail, why, kEolKeysFailed);
        return;
    }
    m_keys.reset();
    EndStep(StepOutcome::Pass, "", 0);
    BeginStep("token");
    m_step = EolStep::Token;
}

void EndOfLineRun::Tick() {
    bool changed = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_step == EolStep::Done)
            return;
        const Clock::time_point now = m_clock();
        if (now - m_runStart >= m_settings.timeout) {
            Finish(RunOutcome::Aborted, "the run's time limit passed", kEolAborted);
            changed = true;
        } else if (m_step == EolStep::Keys) {
            const bool flagged = m_keys->AnyFlagged();
            m_keys->Check(now);
            changed = flagged != m_keys->AnyFlagged();
            if (now - m_stepStart >= m_settings.keyTimeout) {
                KeysDone(now);
                changed = true;
            }
        }
    }
    if (changed) {
        if (Finished())
            EndCalibration();
        m_changed();
    }
}

void EndOfLineRun::Abort(const std::string& why) {
    {
        std::lock_guard lock(m_mutex);
        if (m_step == EolStep::Done)
            return;
        Finish(RunOutcome::Aborted, why, kEolAborted);
    }
    EndCalibration();
    m_changed();
}

bool EndOfLineRun::Finished() const {
    std::lock_guard lock(m_mutex);
    return m_step == EolStep::Done;
}

EndOfLineRun::View EndOfLineRun::Snapshot() const {
    std::lock_guard lock(m_mutex);
    View view;
    view.step = m_step;
    view.receivers = m_record.receivers;
    view.steps = m_record.steps;
    view.finished = m_step == EolStep::Done;
    view.outcome = m_record.outcome;
    view.why = m_record.why;
    view.tokenSerial = m_record.tokenSerial;
    view.calibrationStatus = m_calibrationStatus;
    view.tokenPassword = m_tokenPassword;
    view.serviceResult = m_serviceResult;
    const Clock::time_point now = m_clock();
    if (m_step == EolStep::Keys && m_keys) {
        view.missing = m_keys->Missing();
        for (KeyId key : m_settings.keys) {
            if (std::find(view.missing.begin(), view.missing.end(), key) == view.missing.end())
                view.pressed.push_back(key);
        }
        for (const KeyRecord& k : m_keys->Records(now)) {
            if (k.doubled || k.stuck)
                view.flagged.push_back(k.id);
        }
        view.left = std::chrono::duration_cast<std::chrono::milliseconds>(m_settings.keyTimeout -
                                                                          (now - m_stepStart));
    } else if (m_step != EolStep::Done) {
        view.pressed = m_settings.keys;
        for (const KeyRecord& k : m_record.keys) {
            if (k.doubled || k.stuck)
                view.flagged.push_back(k.id);
        }
        view.left = std::chrono::duration_cast<std::chrono::milliseconds>(m_settings.timeout -
                                                                          (now - m_runStart));
    } else {
        for (const KeyRecord& k : m_record.keys) {
            if (k.missing)
                view.missing.push_back(k.id);
            else if (k.presses > 0)
                view.pressed.push_back(k.id);
            if (k.doubled || k.stuck)
                view.flagged.push_back(k.id);
        }
    }
    for (const std::optional<KeyId>& held : m_heldBySource) {
        if (held)
            view.held = held;
    }
    if (view.left.count() < 0)
        view.left = std::chrono::milliseconds(0);
    return view;
}

RunRecord EndOfLineRun::Record() const {
    std::lock_guard lock(m_mutex);
    return m_record;
}

int EndOfLineRun::SourceOfThisThread() {
    const std::thread::id self = std::this_thread::get_id();
    const auto it = std::find(m_sources.begin(), m_sources.end(), self);
    if (it != m_sources.end())
        return static_cast<int>(it - m_sources.begin());
    m_sources.push_back(self);
    m_heldBySource.emplace_back();
    return static_cast<int>(m_sources.size() - 1);
}

void EndOfLineRun::Receiver(bool ir, int status) {
    {
        std::lock_guard lock(m_mutex);
        if (m_step == EolStep::Done || m_step == EolStep::Receivers || status == RECEIVER_READING)
            return;
        Finish(RunOutcome::Error,
               std::string(ir ? "the IR receiver" : "the game-pad receiver") + " was lost",
               kEolAbsent);
    }
    PostHere([this] { EndCalibration(); });
    m_changed();
}

void EndOfLineRun::ShowIrStatus(int status) {
    Receiver(true, status);
}

void EndOfLineRun::ShowGameStatus(int status) {
    Receiver(false, status);
}

void EndOfLineRun::HighlightKey(KeyId key) {
    bool changed = false;
    {
        std::lock_guard lock(m_mutex);
        const int source = SourceOfThisThread();
        std::optional<KeyId>& held = m_heldBySource[static_cast<std::size_t>(source)];
        changed = held != key;
        held = key;
        if (m_step == EolStep::Keys && m_keys)
            m_keys->Highlight(source, key, m_clock());
    }
    if (changed)
        m_changed();
}

void EndOfLineRun::ClearHighlight() {
    {
        std::lock_guard lock(m_mutex);
        const int source = SourceOfThisThread();
        m_heldBySource[static_cast<std::size_t>(source)].reset();
        if (m_step == EolStep::Keys && m_keys) {
            const Clock::time_point now = m_clock();
            m_keys->Clear(source, now);
            if (m_keys->Complete())
                KeysDone(now);
        }
    }
    m_changed();
}

void EndOfLineRun::ShowTokenResult(int result) {
    if (result == TOKEN_OK)
        return;
    {
        std::lock_guard lock(m_mutex);
        if (m_step != EolStep::Token || m_verifying)
            return;
        m_record.decodeResult = result;
        Finish(RunOutcome::Fail, "token frame not decoded (result " + std::to_string(result) + ")",
               kEolNotPassed);
    }
    m_changed();
}

void EndOfLineRun::OnTokenTaken(const char* digits) {
    const TokenDigits split = SplitTokenFrame(digits);
    bool calibrating = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_step == EolStep::Calibration) {
            calibrating = true;
            m_tokenPassword = split.password;
            if (m_settings.keepPasswords)
                m_record.passwords.push_back(split.password);
        }
    }
    if (calibrating) {
        // The calibration's waiters take it from the frame box.
        TokenTakenSteps steps;
        steps.verify = false;
        TakeTokenFrame(digits, steps);
        m_changed();
        return;
    }
    bool verify = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_step != EolStep::Token || m_verifying)
            return;
        m_record.decodeResult = TOKEN_OK;
        m_record.tokenSerial = split.serial;
        m_tokenPassword = split.password;
        if (m_settings.keepPasswords)
            m_record.passwords.push_back(split.password);
        if (!m_settings.labelSerial.empty() && split.serial != m_settings.labelSerial) {
            Finish(RunOutcome::Fail,
                   "token serial " + split.serial + " is not the label's " + m_settings.labelSerial,
                   kEolNotPassed);
        } else {
            m_verifying = verify = true;
        }
    }
    m_changed();
    if (!verify)
        return;

    std::optional<TokenCheck> check;
    TokenTakenSteps steps;
    steps.verify = true;
    steps.verified = [&check](const TakenToken&, const TokenCheck& c) { check = c; };
    TakeTokenFrame(digits, steps);
    Verified(check);
}

void EndOfLineRun::Verified(const std::optional<TokenCheck>& check) {
    bool calibrate = false;
    {
        std::lock_guard lock(m_mutex);
        m_verifying = false;
        if (m_step != EolStep::Token)
            return;  // aborted while the call ran
        ServiceCallRecord call;
        call.kind = "verify";
        call.at = UtcNow();
        if (!check) {
            call.outcome = "not_called";
            m_record.serviceCalls.push_back(call);
            Finish(RunOutcome::Error, "token not verified (no call was made)", kEolServiceFailed);
        } else {
            call.result = check->serviceResult;
            m_serviceResult = check->serviceResult;
            switch (check->outcome) {
                case VerifyOutcome::Passed:
                    call.outcome = "passed";
                    m_record.serviceCalls.push_back(call);
                    Finish(RunOutcome::Pass, "", kEolPass);
                    break;
                case VerifyOutcome::Bound:
                    call.outcome = "bound";
                    m_record.serviceCalls.push_back(call);
                    Finish(RunOutcome::Fail,
                           WithResult("token bound to a user", check->serviceResult), kEolBound);
                    break;
                case VerifyOutcome::NotPassed:
                    call.outcome = "not_passed";
                    m_record.serviceCalls.push_back(call);
                    if (m_settings.calibrateOnFail && m_host && !m_calibrated) {
                        EndStep(StepOutcome::Fail,
                                WithResult("token not verified", check->serviceResult),
                                kEolNotPassed);
                        BeginStep("calibration");
                        m_step = EolStep::Calibration;
                        calibrate = true;
                    } else {
                        Finish(RunOutcome::Fail,
                               WithResult("token not verified", check->serviceResult),
                               kEolNotPassed);
                    }
                    break;
                case VerifyOutcome::NetworkFailure:
                case VerifyOutcome::Exception:
                    call.outcome = check->outcome == VerifyOutcome::Exception ? "exception"
                                                                              : "network_failure";
                    m_record.serviceCalls.push_back(call);
                    Finish(RunOutcome::Error, "token service unreachable", kEolServiceFailed);
                    break;
            }
        }
    }
    if (calibrate)
        PostHere([this] { StartCalibration(); });
    m_changed();
}
