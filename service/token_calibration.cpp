#include "service/token_calibration.h"

#include <optional>

#include "platform/process/trace.h"
#include "platform/text/translatable.h"
#include "service/http_transport.h"
#include "service/revise_ekey_messages.h"
#include "service/status.h"
#include "service/token_verification.h"

namespace {

constexpr const char* kStatusWait = QUILLON_TEXT("Status", "请等待30秒再输入令匙键");
constexpr const char* kStatusAgain = QUILLON_TEXT("Status", "请再次输入令匙键");
constexpr const char* kStatusSame = QUILLON_TEXT("Status", "两次密码相同，请等待30秒再试");

// Upper bound of one sleep of a waiter; closing wakes it at once anyway, this only
// backs up a wake-up that came just before the sleep began.
constexpr std::chrono::milliseconds kWaiterSlice{1000};
constexpr std::chrono::milliseconds kJoinSlice{10};

}  // namespace

const char* CalibrationVerdictText(CalibrationVerdict verdict) {
    switch (verdict) {
        case CalibrationVerdict::Passed:
            return QUILLON_TEXT("Status", "令匙校准通过");
        case CalibrationVerdict::NotPassed:
            return QUILLON_TEXT("Status", "令匙校准不通过");
        case CalibrationVerdict::NetworkFailure:
            return QUILLON_TEXT("Status", "网络不通或服务器有问题，令匙校准不成功");
        case CalibrationVerdict::Exception:
            return QUILLON_TEXT("Status", "校准发生异常");
        case CalibrationVerdict::TimedOut:
            return QUILLON_TEXT("Status", "输入超时");
    }
    return "";
}

TokenCalibration::TokenCalibration(ICalibrationDialog& dialog, Periods periods, TokenFrameBox& box)
    : m_dialog(dialog),
      m_box(box),
      m_periods(periods),
      m_serviceCall([](CUserAndHardwareService& client, const char16_t* sn, const char16_t* dp1,
                       const char16_t* dp2,
                       std::int32_t* result) { return client.ReviseEkey(sn, dp1, dp2, result); }),
      m_self(std::make_shared<TokenCalibration*>(this)) {}

TokenCalibration::~TokenCalibration() {
    // The waiters and the sender call into this object; a calibration destroyed
    // without its close path must still end them first.
    if (!m_bClosed) {
        m_bClosed = true;
        g_bCalibrating.store(false, std::memory_order_release);
    }
    StopWorkers();
}

void TokenCalibration::Start() {
    g_bCalibrating.store(true, std::memory_order_release);
    // A frame taken before the calibration began must not count as the first input.
    m_box.Clear();
    m_nStep = 1;
    StartWaiter(Waiter::First);
    // There is no handle value on this platform; 0 says the waiter could not start.
    Trace("[KEYWARDEN] m_hThread1 = %d", m_hFirstWaiter.Started() ? 1 : 0);
    m_dialog.EnableSecondInput(false);
}

void TokenCalibration::PostHere(std::function<void()> call) {
    m_dialog.Post([self = std::weak_ptr<TokenCalibration*>(m_self), call = std::move(call)] {
        if (self.lock())
            call();
    });
}

void TokenCalibration::StartWaiter(Waiter which) {
    if (m_bWaiting || m_bSending || m_bClosed || m_bStopWaiters.load())
        return;
    WorkerThread& thread = which == Waiter::First    ? m_hFirstWaiter
                           : which == Waiter::Second ? m_hSecondWaiter
                                                     : m_hThirdWaiter;
    if (thread.Started())
        return;  // each input has one waiter per calibration
    if (!thread.Start([this, which] { WaitForTokenInput(which); }))
        return;
    m_bWaiting = true;
}

void TokenCalibration::WaitForTokenInput(Waiter which) {
    while (!m_bStopWaiters.load()) {
        // The sequence number is read before Take(), so a frame put between the two
        // ends the sleep at once.
        const std::uint64_t seq = m_box.Sequence();
        if (std::optional<TokenFrame> frame = m_box.Take()) {
            PostHere([this, which, f = std::move(*frame)] { OnTokenInput(which, f); });
            return;
        }
        m_box.WaitNewer(seq, kWaiterSlice);
    }
}

void TokenCalibration::OnTokenInput(Waiter which, const TokenFrame& frame) {
    m_bWaiting = false;
    if (m_bClosed || m_bSending || m_bStopWaiters.load())
        return;
    switch (which) {
        case Waiter::First:
            FirstInputStep(frame);
            break;
        case Waiter::Second:
            SecondInputStep(frame);
            break;
        case Waiter::Third:
            ThirdInputStep(frame);
            break;
    }
}

void TokenCalibration::FirstInputStep(const TokenFrame& frame) {
    m_dwFirstTick = TickCount();
    m_strCalSerial = frame.serial;
    m_strFirstPassword = frame.password;
    Trace("[KEYWARDEN] First Input DP=%s", m_strFirstPassword.c_str());
    m_strStatus = kStatusWait;
    m_dialog.SetTimer(IDT_WAIT, m_periods.wait);
    m_dialog.SetTimer(IDT_TIMEOUT, m_periods.timeout);
    m_dialog.FieldsChanged();
}

void TokenCalibration::SecondInputStep(const TokenFrame& frame) {
    m_dwEndTick = TickCount();
    Trace("[KEYWARDEN] Begin Time is %d", static_cast<int>(m_dwFirstTick));
    Trace("[KEYWARDEN] End Time is %d", static_cast<int>(m_dwEndTick));
    m_strSecondSerial = frame.serial;
    m_strSecondPassword = frame.password;
    Trace("[KEYWARDEN] Second Input DP=%s", m_strSecondPassword.c_str());
    m_dialog.FieldsChanged();
    if (m_strSecondPassword != m_strFirstPassword) {
        AdjustEkey();
        return;
    }
    m_strStatus = kStatusSame;
    m_strSecondPassword.clear();
    m_dialog.FieldsChanged();
    // A whole wait again from now; the time-out keeps running from the first input.
    m_dialog.SetTimer(IDT_WAIT, m_periods.wait);
    m_nStep = 2;
}

void TokenCalibration::ThirdInputStep(const TokenFrame& frame) {
    m_dwEndTick = TickCount();
    m_strSecondSerial = frame.serial;
    m_strSecondPassword = frame.password;
    m_dialog.FieldsChanged();
    m_nStep = 1;
    Trace("[KEYWARDEN] ThirdInput DP=%s", m_strSecondPassword.c_str());
    AdjustEkey();
}

void TokenCalibration::OnTimer(int id) {
    if (id == IDT_TIMEOUT) {
        // Fires once: a repeating time-out would stack verdicts while the first is shown.
        m_dialog.KillTimer(IDT_TIMEOUT);
        if (m_bSending || m_bClosed)
            return;
        // No input counts any more, also while the verdict is shown.
        m_bStopWaiters = true;
        m_box.WakeAll();
        m_dialog.ShowVerdict(CalibrationVerdict::TimedOut);
        Cancel();
        return;
    }
    if (m_bSending || m_bClosed || m_bStopWaiters.load())
        return;
    m_strStatus = kStatusAgain;
    m_dialog.FieldsChanged();
    m_dialog.EnableSecondInput(true);
    StartWaiter(m_nStep == 2 ? Waiter::Third : Waiter::Second);
}

void TokenCalibration::AdjustEkey() {
    m_bSending = true;
    // Neither timer has anything left to do: no more inputs, and the time-out no
    // longer applies once the request is on its way.
    StopTimers();
    const bool started = m_hSender.Start([this, serial = m_strCalSerial, first = m_strFirstPassword,
                                          second = m_strSecondPassword]() mutable {
        SendRequest(std::move(serial), std::move(first), std::move(second));
    });
    if (!started) {
        Trace("[KEYWARDEN] Enter AdjustEkey");
        OnVerdict(CalibrationVerdict::Exception);
    }
}

void TokenCalibration::SendRequest(std::string serial, std::string first, std::string second) {
    Trace("[KEYWARDEN] Enter AdjustEkey");
    CalibrationVerdict verdict = CalibrationVerdict::Exception;
    std::optional<std::int32_t> answered;
    // Everything is guarded, not only the call: an exception must not leave the thread.
    try {
        const std::unique_ptr<CUserAndHardwareService> client = MakeFlowClient();
        std::int32_t result = 0;
        Trace("[KEYWARDEN] Step 1");
        const std::u16string ekeysn = Utf8ToUtf16(serial);
        const std::u16string ekeydp1 = Utf8ToUtf16(first);
        const std::u16string ekeydp2 = Utf8ToUtf16(second);
        Trace("[KEYWARDEN] Step 1");
        {
            std::lock_guard lock(m_clientMutex);
            m_pClient = &*client;
            // A cancel that came before the client existed is not lost.
            if (m_bCancelCall)
                client->Cancel();
        }
        std::int32_t status = S_OK;
        bool threw = false;
        try {
            status =
                m_serviceCall(*client, ekeysn.c_str(), ekeydp1.c_str(), ekeydp2.c_str(), &result);
        } catch (...) {
            threw = true;
        }
        bool cancelled = false;
        {
            std::lock_guard lock(m_clientMutex);
            m_pClient = nullptr;
            cancelled = m_bCancelCall;
        }
        if (!threw) {
            Trace("[KEYWARDEN] ReviseEkey =%d", status);
            Trace("[KEYWARDEN] ReviseEkey result =%d", result);
            if (cancelled || status != S_OK) {
                verdict = CalibrationVerdict::NetworkFailure;
            } else if (result != 0) {
                verdict = CalibrationVerdict::NotPassed;
            } else {
                verdict = CalibrationVerdict::Passed;
            }
            if (!cancelled && status == S_OK)
                answered = result;
        }
    } catch (...) {
        verdict = CalibrationVerdict::Exception;
    }
    PostHere([this, verdict, answered] {
        m_nServiceResult = answered;
        OnVerdict(verdict);
    });
}

void TokenCalibration::OnVerdict(CalibrationVerdict verdict) {
    m_hSender.Join();  // it has posted this and is ending
    if (m_bClosed)
        return;  // cancelled first: the calibration ended without a verdict
    m_dialog.ShowVerdict(verdict);
    g_bCalibrating.store(false, std::memory_order_release);
    Cancel();
}

void TokenCalibration::Cancel() {
    g_bCalibrating.store(false, std::memory_order_release);
    if (m_bClosed)
        return;
    m_bClosed = true;
    StopTimers();
    StopWorkers();
    m_dialog.Closed();
}

void TokenCalibration::StopTimers() {
    m_dialog.KillTimer(IDT_WAIT);
    m_dialog.KillTimer(IDT_TIMEOUT);
}

void TokenCalibration::StopWorkers() {
    m_bStopWaiters = true;
    {
        std::lock_guard lock(m_clientMutex);
        m_bCancelCall = true;
        if (m_pClient != nullptr)
            m_pClient->Cancel();
    }
    for (WorkerThread* waiter : {&m_hFirstWaiter, &m_hSecondWaiter, &m_hThirdWaiter}) {
        // Woken again each slice: a wake-up just before a waiter went to sleep would
        // otherwise be missed.
        do {
            m_box.WakeAll();
        } while (!waiter->WaitFor(kJoinSlice));
        waiter->Join();
    }
    // Cancelled above, so this returns within milliseconds.
    m_hSender.Join();
    m_bWaiting = false;
}

std::uint32_t TokenCalibration::TickCount() {
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<std::uint32_t>(now.count());
}
