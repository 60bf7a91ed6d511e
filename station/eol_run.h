#pragma once

// One end-of-line run of one kit: the receivers, every key pressed once, the token
// decoded and verified; one verdict and one record. Qt-free and loop-free: the
// receiver and dispatcher threads call it as the main dialog (IMainDialog), and the
// front end's own loop calls Tick() and renders Snapshot() whenever `changed` says so.
// The front end starts and stops the receiver threads; a run that finished wants
// them stopped (which also cancels a verification call in progress).

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "receiver/main_dialog.h"
#include "service/token_calibration.h"
#include "service/token_taken.h"
#include "station/key_coverage.h"
#include "station/run_record.h"

class HidSystem;

// The run's exit statuses, the terminal program's own (they never change meaning).
enum EolExit : int {
    kEolPass = 0,
    kEolAbsent = 2,
    kEolDenied = 3,
    kEolHeld = 4,
    kEolNotPassed = 5,
    kEolBound = 6,
    kEolServiceFailed = 7,
    kEolKeysFailed = 9,
    kEolAborted = 10,
};

struct EolSettings {
    std::string station;  // host name by default (DefaultStation)
    std::string operatorId;
    std::string labelSerial;
    std::string version;
    std::vector<KeyId> keys;  // ParseKeySelection("all") by default
    KeyLimits limits;
    std::chrono::milliseconds keyTimeout{std::chrono::seconds(120)};
    // The whole run; past it the run is ABORTED.
    std::chrono::milliseconds timeout{std::chrono::seconds(300)};
    bool keepPasswords = false;
    // A token that does not pass is calibrated (two presses a wait period apart) and
    // then verified again with a fresh press. Needs a host (SetHost).
    bool calibrateOnFail = false;
    TokenCalibration::Periods calibration;
};

// What the calibration needs of the front end's loop: timers and posted calls, all run
// on that loop's thread (the thread that calls Tick() and Abort()).
class EolHost {
public:
    virtual ~EolHost() = default;
    virtual void Post(std::function<void()> call) = 0;
    virtual void SetTimer(int id, std::chrono::milliseconds period, std::function<void()> fire) = 0;
    virtual void KillTimer(int id) = 0;
};

// This machine's host name, or "localhost".
std::string DefaultStation();

struct ExaminedReceiver {
    ReceiverRecord record;
    std::string why;  // why it does not work, in words
};

// Both receivers as `quillonctl check` finds them, with their USB ids and paths.
std::vector<ExaminedReceiver> ExamineReceivers(HidSystem& hid);

enum class EolStep { Receivers, Keys, Token, Calibration, Done };

class EndOfLineRun : public IMainDialog, private ICalibrationDialog {
public:
    using Clock = std::chrono::steady_clock;

    struct View {
        EolStep step = EolStep::Receivers;
        std::vector<ReceiverRecord> receivers;
        std::vector<KeyId> missing;         // expected keys still to press
        std::vector<KeyId> pressed;         // expected keys pressed and released
        std::vector<KeyId> flagged;         // double or stuck
        std::optional<KeyId> held;          // the key being held now
        std::chrono::milliseconds left{0};  // of the current step's limit
        std::vector<StepRecord> steps;      // the steps so far, finished ones with outcome
        std::string calibrationStatus;      // the calibration's own texts, while it runs
        std::string tokenSerial;
        std::string tokenPassword;
        std::optional<std::int32_t> serviceResult;
        bool finished = false;
        RunOutcome outcome = RunOutcome::Started;
        std::string why;
    };

    // `changed`: anything Snapshot() shows changed; called from any thread, with no
    // lock held, and must not block. `clock`: for tests.
    EndOfLineRun(EolSettings settings, std::function<void()> changed,
                 std::function<Clock::time_point()> clock = &Clock::now);
    ~EndOfLineRun() override;

    // Before TakeReceivers; the host outlives the run.
    void SetHost(EolHost* host) { m_host = host; }

    // The first step, from ExamineReceivers(). False when the run is over already.
    bool TakeReceivers(const std::vector<ExaminedReceiver>& receivers);
    // The front end's loop, every 100 ms or so: the time limits and stuck keys.
    void Tick();
    // A stop signal, Escape, a lost store: the run ends ABORTED.
    void Abort(const std::string& why);

    bool Finished() const;
    View Snapshot() const;
    // The record so far; whole once Finished().
    RunRecord Record() const;

    void ShowIrStatus(int status) override;
    void ShowGameStatus(int status) override;
    void HighlightKey(KeyId key) override;
    void ClearHighlight() override;
    void ShowTokenResult(int result) override;
    void OnTokenTaken(const char* digits) override;

private:
    // All with m_mutex held.
    void BeginStep(const char* name);
    void EndStep(StepOutcome outcome, const std::string& why, int code);
    void Finish(RunOutcome outcome, const std::string& why, int exitStatus);
    void KeysDone(Clock::time_point now);
    int SourceOfThisThread();
    void Receiver(bool ir, int status);
    void Verified(const std::optional<TokenCheck>& check);

    // The calibration, on the host's thread; m_mutex is never held across a call into
    // it, which calls back.
    void StartCalibration();
    void EndCalibration();
    void FieldsChanged() override;
    void EnableSecondInput(bool) override {}
    void ShowVerdict(CalibrationVerdict verdict) override;
    void Closed() override;
    void SetTimer(int id, std::chrono::milliseconds period) override;
    void KillTimer(int id) override;
    void Post(std::function<void()> call) override;
    // `call` on the host's thread, unless the run is gone by then.
    void PostHere(std::function<void()> call);

    const EolSettings m_settings;
    const std::function<void()> m_changed;
    const std::function<Clock::time_point()> m_clock;

    mutable std::mutex m_mutex;
    RunRecord m_record;
    EolStep m_step = EolStep::Receivers;
    Clock::time_point m_runStart;
    Clock::time_point m_stepStart;
    std::optional<KeyCoverage> m_keys;
    std::vector<std::thread::id> m_sources;  // the dispatcher threads seen, by source
    std::vector<std::optional<KeyId>> m_heldBySource;
    bool m_verifying = false;
    EolHost* m_host = nullptr;
    std::unique_ptr<TokenCalibration> m_calibration;  // host thread only
    std::string m_calibrationStatus;
    bool m_calibrated = false;              // the token was calibrated in this run
    std::shared_ptr<EndOfLineRun*> m_self;  // posted calls hold it weakly
    std::string m_tokenPassword;
    std::optional<std::int32_t> m_serviceResult;
};
