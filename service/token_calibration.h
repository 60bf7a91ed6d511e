#pragma once

// TokenCalibration: the steps of a token calibration, without a window. It collects
// two dynamic passwords of one token at least one wait period apart from the frames
// the front end hands over (g_lastToken), sends them with ReviseEkey and gives the
// verdict. A front end (the calibration dialog, the terminal program) drives it and
// renders what it reports through ICalibrationDialog.
//
// Steps: the first input starts IDT_WAIT (repeating) and IDT_TIMEOUT (once, from the
// first input). Each IDT_WAIT lets the next input in. A second password equal to the
// first waits once more and the third input is sent without a comparison. Sending
// stops both timers: from then on the time-out no longer applies.
//
// Threads and ownership:
// - Every member is touched by the front end's thread only: the thread that calls
//   Start(), OnTimer(), Cancel() and the destructor. Waiters and the sender hand their
//   results over through ICalibrationDialog::Post(); a call that arrives after this
//   object is gone does nothing.
// - A waiter (m_hFirstWaiter, m_hSecondWaiter, m_hThirdWaiter) sleeps on g_lastToken
//   until a frame is there, takes it (serial and password together, atomically) and
//   hands it to the front end's thread, where the step runs. At most one waiter exists
//   at a time: a wait period that ends while one is waiting, or after sending has
//   begun, starts none. A frame that comes while no waiter runs stays in the box and
//   is taken by the next one.
// - The service call runs on m_hSender, once per calibration. Cancel() cancels it
//   through the client's Cancel() and ends without a verdict, so closing never waits
//   on the network.
// - Every way out (cancel, time-out, verdict) clears g_bCalibrating, ends the waiters
//   and the sender and joins them; the destructor does the same for a calibration that
//   never ran its close path.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/process/worker_thread.h"
#include "service/token_frame_box.h"

class CUserAndHardwareService;

// How a calibration ended, when it ended by itself.
enum class CalibrationVerdict {
    Passed,          // result 0
    NotPassed,       // any other result, 21030 included
    NetworkFailure,  // the call failed (transport, fault, unreadable reply, cancelled)
    Exception,       // an exception escaped the call
    TimedOut,        // no further input within the time-out from the first
};

// The text the user is shown for a verdict (UTF-8).
const char* CalibrationVerdictText(CalibrationVerdict verdict);

// What the calibration calls on its front end. Every call but Post() comes on the
// front end's thread, from inside a call the front end made into TokenCalibration.
class ICalibrationDialog {
public:
    virtual ~ICalibrationDialog() = default;

    // Status(), FirstPassword() or SecondPassword() changed (WM_CAL_REFRESH).
    virtual void FieldsChanged() = 0;
    // The second password's label and field: off until the first wait is over.
    virtual void EnableSecondInput(bool enable) = 0;
    // Shows the verdict; returns when the user has taken note of it.
    virtual void ShowVerdict(CalibrationVerdict verdict) = 0;
    // The calibration is over: end the dialog. Comes once.
    virtual void Closed() = 0;

    // Timer `id` (IDT_WAIT, IDT_TIMEOUT) fires every `period` from now, replacing a
    // running one of the same id, until KillTimer(id); each firing is a call of
    // TokenCalibration::OnTimer(id) on the front end's thread. Killing a timer that is
    // not running does nothing.
    virtual void SetTimer(int id, std::chrono::milliseconds period) = 0;
    virtual void KillTimer(int id) = 0;

    // Runs `call` later on the front end's thread, in the order posted; any thread.
    virtual void Post(std::function<void()> call) = 0;
};

class TokenCalibration {
public:
    static constexpr int IDT_WAIT = 1;
    static constexpr int IDT_TIMEOUT = 2;
    static constexpr std::chrono::milliseconds kWaitPeriod{30000};
    static constexpr std::chrono::milliseconds kTimeoutPeriod{120000};

    struct Periods {
        std::chrono::milliseconds wait = kWaitPeriod;        // between two inputs
        std::chrono::milliseconds timeout = kTimeoutPeriod;  // from the first input
    };

    // The service call, replaceable for tests. Gets the client built for this
    // calibration and the three UTF-16 strings; returns the client's status code.
    using ServiceCall = std::function<std::int32_t(CUserAndHardwareService& client,
                                                   const char16_t* ekeysn, const char16_t* ekeydp1,
                                                   const char16_t* ekeydp2, std::int32_t* result)>;

    // `dialog` and `box` must outlive this object.
    TokenCalibration(ICalibrationDialog& dialog, Periods periods, TokenFrameBox& box = g_lastToken);
    ~TokenCalibration();
    TokenCalibration(const TokenCalibration&) = delete;
    TokenCalibration& operator=(const TokenCalibration&) = delete;

    // Sets g_bCalibrating, forgets an earlier frame, disables the second input and
    // starts the first waiter. There is no time limit before the first input.
    void Start();
    // A timer set through the dialog fired.
    void OnTimer(int id);
    // Escape and every internal close: clears g_bCalibrating, ends the waiters and the
    // call in progress, and reports Closed() (once).
    void Cancel();

    void SetServiceCall(ServiceCall call) { m_serviceCall = std::move(call); }

    const Periods& GetPeriods() const { return m_periods; }

    // For display, on the front end's thread.
    int Step() const { return m_nStep; }
    const std::string& Status() const { return m_strStatus; }
    const std::string& FirstPassword() const { return m_strFirstPassword; }
    const std::string& SecondPassword() const { return m_strSecondPassword; }
    // ReviseEkeyResult once the service has answered (21030: the token is bound);
    // nothing before, or when the call failed.
    std::optional<std::int32_t> ServiceResult() const { return m_nServiceResult; }

private:
    enum class Waiter { First, Second, Third };

    void StartWaiter(Waiter which);
    void WaitForTokenInput(Waiter which);  // waiter body
    void OnTokenInput(Waiter which, const TokenFrame& frame);
    void FirstInputStep(const TokenFrame& frame);
    void SecondInputStep(const TokenFrame& frame);
    void ThirdInputStep(const TokenFrame& frame);
    void AdjustEkey();
    void SendRequest(std::string serial, std::string first, std::string second);  // sender
    void OnVerdict(CalibrationVerdict verdict);                                   // the sender's
    // Runs `call` on the front end's thread unless this object is gone by then.
    void PostHere(std::function<void()> call);
    void StopTimers();
    void StopWorkers();
    static std::uint32_t TickCount();

    ICalibrationDialog& m_dialog;
    TokenFrameBox& m_box;
    const Periods m_periods;
    ServiceCall m_serviceCall;
    // Posted calls hold it weakly: a call that finds it gone does nothing.
    std::shared_ptr<TokenCalibration*> m_self;

    int m_nStep = 1;
    std::string m_strCalSerial;
    std::string m_strFirstPassword;
    std::string m_strSecondSerial;  // kept, not compared: another token is not noticed
    std::string m_strSecondPassword;
    std::string m_strStatus;
    std::optional<std::int32_t> m_nServiceResult;
    std::uint32_t m_dwFirstTick = 0;
    std::uint32_t m_dwEndTick = 0;
    WorkerThread m_hFirstWaiter;
    WorkerThread m_hSecondWaiter;
    WorkerThread m_hThirdWaiter;

    bool m_bWaiting = false;  // a waiter waits or its frame is on the way
    bool m_bSending = false;  // AdjustEkey has begun; no more inputs, no time-out
    bool m_bClosed = false;   // the close path has run or is running
    std::atomic<bool> m_bStopWaiters{false};

    WorkerThread m_hSender;
    std::mutex m_clientMutex;  // guards m_pClient and m_bCancelCall against the sender
    CUserAndHardwareService* m_pClient = nullptr;
    bool m_bCancelCall = false;
};
