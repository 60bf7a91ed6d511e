#pragma once

// CEKeyInputforRevise: the token calibration dialog. It collects two dynamic
// passwords of one token at least one wait period apart from the token frames the
// main dialog hands over (g_lastToken), sends them with ReviseEkey and shows the
// verdict.
//
// Threads and ownership:
// - Every member is touched by the window thread only. Waiters and the sender hand
//   their results over with queued calls to this object, so a call that arrives after
//   the dialog is gone is dropped by Qt.
// - A waiter (m_hFirstWaiter, m_hSecondWaiter, m_hThirdWaiter) sleeps on g_lastToken
//   until a frame is there, takes it (serial and password together, atomically) and
//   hands it to the window thread, where the step runs. At most one waiter exists at
//   a time: a wait period that ends while one is waiting, or after sending has begun,
//   starts none. A frame that comes while no waiter runs stays in the box and is
//   taken by the next one.
// - The service call runs on m_hSender; the verdict box is shown by the window thread.
//   Once sending has begun the time-out is ignored; Escape cancels the call through
//   the client's Cancel() and closes without a verdict. So at most one request per
//   dialog, and closing never waits on the network.
// - Every way out (Escape, time-out, verdict) clears g_bCalibrating, ends the waiters
//   and the sender and joins them before the dialog ends; the destructor does the same
//   for a dialog that never ran its close path.
// - Enter does nothing: it would end the dialog without the close path.
//
// IDT_WAIT repeats every wait period until sending begins; IDT_TIMEOUT fires once.

#include <QDialog>
#include <QEvent>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "app/token_frame_box.h"
#include "platform/worker_thread.h"

namespace Ui {
class CEKeyInputforRevise;
}
class QLabel;
class QLineEdit;
class CUserAndHardwareService;

class CEKeyInputforRevise : public QDialog {
    Q_OBJECT

public:
    static constexpr QEvent::Type WM_CAL_REFRESH = static_cast<QEvent::Type>(1912);
    static constexpr QEvent::Type WM_CAL_FIRST_INPUT = static_cast<QEvent::Type>(1913);
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

    explicit CEKeyInputforRevise(QWidget* parent);
    CEKeyInputforRevise(QWidget* parent, Periods periods);
    ~CEKeyInputforRevise() override;

    // OnInitDialog and the modal run.
    int DoModal();
    // Fills the controls, sets g_bCalibrating, forgets an earlier frame and starts the
    // first waiter.
    void OnInitDialog();
    // Escape and every internal close: clears g_bCalibrating, ends the waiters and the
    // call in progress, and ends the dialog.
    void OnCancel();

    void SetServiceCall(ServiceCall call) { m_serviceCall = std::move(call); }

    int Step() const { return m_nStep; }

protected:
    bool event(QEvent* e) override;
    void timerEvent(QTimerEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void reject() override;  // Escape and the window's close
    void accept() override;  // Enter: ignored

private:
    enum class Waiter { First, Second, Third };
    enum class Verdict { Passed, NotPassed, NetworkFailure, Exception, Cancelled };

    void StartWaiter(Waiter which);
    void WaitForTokenInput(Waiter which);  // waiter body
    void OnTokenInput(Waiter which, const TokenFrame& frame);
    void FirstInputStep(const TokenFrame& frame);
    void SecondInputStep(const TokenFrame& frame);
    void ThirdInputStep(const TokenFrame& frame);
    void OnTimer(int id);
    void AdjustEkey();
    void SendRequest(std::string serial, std::string first, std::string second);  // sender
    void OnVerdict(Verdict verdict);
    void StopTimers();
    void StopWorkers();
    void PostRefresh();
    void DoDataExchange();  // members to controls
    static std::uint32_t TickCount();

    std::unique_ptr<Ui::CEKeyInputforRevise> m_ui;
    const Periods m_periods;
    ServiceCall m_serviceCall;

    int m_nStep = 1;
    QLabel* m_hSecondLabel = nullptr;
    QLineEdit* m_hSecondEdit = nullptr;
    std::string m_strCalSerial;
    std::string m_strFirstPassword;
    std::string m_strSecondSerial;  // kept, not compared: another token is not noticed
    std::string m_strSecondPassword;
    QWidget* m_pParent;
    int m_nWaitTimer = 0;     // Qt timer id of IDT_WAIT, 0 when not running
    int m_nTimeoutTimer = 0;  // Qt timer id of IDT_TIMEOUT, 0 when not running
    std::string m_strStatus;
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
