#include "service/calibration_dlg.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTimerEvent>
#include <optional>

#include "app/about_dlg.h"
#include "app/message_box.h"
#include "platform/trace.h"
#include "service/http_transport.h"
#include "service/revise_ekey_messages.h"
#include "service/status.h"
#include "service/token_verification.h"
#include "ui_calibration_dlg.h"

namespace {

constexpr const char* kStatusWait = "请等待30秒再输入令匙键";
constexpr const char* kStatusAgain = "请再次输入令匙键";
constexpr const char* kStatusSame = "两次密码相同，请等待30秒再试";

// Upper bound of one sleep of a waiter; closing wakes it at once anyway, this only
// backs up a wake-up that came just before the sleep began.
constexpr std::chrono::milliseconds kWaiterSlice{1000};
constexpr std::chrono::milliseconds kJoinSlice{10};

QString Q(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace

CEKeyInputforRevise::CEKeyInputforRevise(QWidget* parent)
    : CEKeyInputforRevise(parent, Periods{}) {}

CEKeyInputforRevise::CEKeyInputforRevise(QWidget* parent, Periods periods)
    : QDialog(parent),
      m_ui(std::make_unique<Ui::CEKeyInputforRevise>()),
      m_periods(periods),
      m_pParent(parent) {
    InstallDialogFontFallback();
    m_ui->setupUi(this);
    // A caption without system-menu box: no close button.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setFixedSize(516, 232);
    m_serviceCall = [](CUserAndHardwareService& client, const char16_t* sn, const char16_t* dp1,
                       const char16_t* dp2,
                       std::int32_t* result) { return client.ReviseEkey(sn, dp1, dp2, result); };
}

CEKeyInputforRevise::~CEKeyInputforRevise() {
    // The waiters and the sender call into this object; a dialog destroyed without
    // its close path must still end them first.
    if (!m_bClosed) {
        m_bClosed = true;
        g_bCalibrating.store(false, std::memory_order_release);
    }
    StopWorkers();
}

int CEKeyInputforRevise::DoModal() {
    OnInitDialog();
    return exec();
}

void CEKeyInputforRevise::OnInitDialog() {
    DoDataExchange();
    raise();
    activateWindow();
    g_bCalibrating.store(true, std::memory_order_release);
    // A frame taken before the dialog opened must not count as the first input.
    g_lastToken.Clear();
    m_nStep = 1;
    StartWaiter(Waiter::First);
    // There is no handle value on this platform; 0 says the waiter could not start.
    Trace("[KEYWARDEN] m_hThread1 = %d", m_hFirstWaiter.Started() ? 1 : 0);
    m_hSecondLabel = m_ui->secondPasswordLabel;
    m_hSecondEdit = m_ui->secondPasswordEdit;
    m_hSecondLabel->setEnabled(false);
    m_hSecondEdit->setEnabled(false);
}

void CEKeyInputforRevise::StartWaiter(Waiter which) {
    if (m_bWaiting || m_bSending || m_bClosed || m_bStopWaiters.load())
        return;
    WorkerThread& thread = which == Waiter::First    ? m_hFirstWaiter
                           : which == Waiter::Second ? m_hSecondWaiter
                                                     : m_hThirdWaiter;
    if (thread.Started())
        return;  // each input has one waiter per dialog
    if (!thread.Start([this, which] { WaitForTokenInput(which); }))
        return;
    m_bWaiting = true;
}

void CEKeyInputforRevise::WaitForTokenInput(Waiter which) {
    while (!m_bStopWaiters.load()) {
        // The sequence number is read before Take(), so a frame put between the two
        // ends the sleep at once.
        const std::uint64_t seq = g_lastToken.Sequence();
        if (std::optional<TokenFrame> frame = g_lastToken.Take()) {
            QMetaObject::invokeMethod(
                this, [this, which, f = std::move(*frame)] { OnTokenInput(which, f); },
                Qt::QueuedConnection);
            return;
        }
        g_lastToken.WaitNewer(seq, kWaiterSlice);
    }
}

void CEKeyInputforRevise::OnTokenInput(Waiter which, const TokenFrame& frame) {
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

void CEKeyInputforRevise::FirstInputStep(const TokenFrame& frame) {
    m_dwFirstTick = TickCount();
    m_strCalSerial = frame.serial;
    m_strFirstPassword = frame.password;
    Trace("[KEYWARDEN] First Input DP=%s", m_strFirstPassword.c_str());
    m_strStatus = kStatusWait;
    m_nWaitTimer = startTimer(m_periods.wait, Qt::PreciseTimer);
    m_nTimeoutTimer = startTimer(m_periods.timeout, Qt::PreciseTimer);
    PostRefresh();
}

void CEKeyInputforRevise::SecondInputStep(const TokenFrame& frame) {
    m_dwEndTick = TickCount();
    Trace("[KEYWARDEN] Begin Time is %d", static_cast<int>(m_dwFirstTick));
    Trace("[KEYWARDEN] End Time is %d", static_cast<int>(m_dwEndTick));
    m_strSecondSerial = frame.serial;
    m_strSecondPassword = frame.password;
    Trace("[KEYWARDEN] Second Input DP=%s", m_strSecondPassword.c_str());
    PostRefresh();
    if (m_strSecondPassword != m_strFirstPassword) {
        AdjustEkey();
        return;
    }
    m_strStatus = kStatusSame;
    m_strSecondPassword.clear();
    PostRefresh();
    if (m_nWaitTimer != 0)
        killTimer(m_nWaitTimer);
    m_nWaitTimer = startTimer(m_periods.wait, Qt::PreciseTimer);
    m_nStep = 2;
}

void CEKeyInputforRevise::ThirdInputStep(const TokenFrame& frame) {
    m_dwEndTick = TickCount();
    m_strSecondSerial = frame.serial;
    m_strSecondPassword = frame.password;
    PostRefresh();
    m_nStep = 1;
    Trace("[KEYWARDEN] ThirdInput DP=%s", m_strSecondPassword.c_str());
    AdjustEkey();
}

void CEKeyInputforRevise::timerEvent(QTimerEvent* e) {
    if (e->timerId() == m_nTimeoutTimer) {
        OnTimer(IDT_TIMEOUT);
    } else if (e->timerId() == m_nWaitTimer) {
        OnTimer(IDT_WAIT);
    } else {
        QDialog::timerEvent(e);
    }
}

void CEKeyInputforRevise::OnTimer(int id) {
    if (id == IDT_TIMEOUT) {
        // Fires once: a repeating time-out would stack boxes while the first is open.
        killTimer(m_nTimeoutTimer);
        m_nTimeoutTimer = 0;
        if (m_bSending || m_bClosed)
            return;
        // No input counts any more, also while the box is open.
        m_bStopWaiters = true;
        g_lastToken.WakeAll();
        ShowMessageBox(this, "输入超时", "超时错误", BoxIcon::Error);
        OnCancel();
        return;
    }
    if (m_bSending || m_bClosed || m_bStopWaiters.load())
        return;
    m_strStatus = kStatusAgain;
    PostRefresh();
    m_hSecondLabel->setEnabled(true);
    m_hSecondEdit->setEnabled(true);
    StartWaiter(m_nStep == 2 ? Waiter::Third : Waiter::Second);
}

void CEKeyInputforRevise::AdjustEkey() {
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
        OnVerdict(Verdict::Exception);
    }
}

void CEKeyInputforRevise::SendRequest(std::string serial, std::string first, std::string second) {
    Trace("[KEYWARDEN] Enter AdjustEkey");
    Verdict verdict = Verdict::Exception;
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
            // An Escape that came before the client existed is not lost.
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
            if (cancelled) {
                verdict = Verdict::Cancelled;
            } else if (status != S_OK) {
                verdict = Verdict::NetworkFailure;
            } else if (result != 0) {
                verdict = Verdict::NotPassed;
            } else {
                verdict = Verdict::Passed;
            }
        }
    } catch (...) {
        verdict = Verdict::Exception;
    }
    QMetaObject::invokeMethod(
        this, [this, verdict] { OnVerdict(verdict); }, Qt::QueuedConnection);
}

void CEKeyInputforRevise::OnVerdict(Verdict verdict) {
    m_hSender.Join();  // it has posted this and is ending
    if (m_bClosed)
        return;  // Escape came first: the dialog closed without a verdict
    switch (verdict) {
        case Verdict::Exception:
            ShowMessageBox(this, "校准发生异常", "警告", BoxIcon::Error);
            break;
        case Verdict::NetworkFailure:
        case Verdict::Cancelled:
            ShowMessageBox(this, "网络不通或服务器有问题，令匙校准不成功", "警告", BoxIcon::Error);
            break;
        case Verdict::NotPassed:
            ShowMessageBox(this, "令匙校准不通过", "警告", BoxIcon::Error);
            break;
        case Verdict::Passed:
            ShowMessageBox(this, "令匙校准通过", QApplication::applicationDisplayName(),
                           BoxIcon::None);
            break;
    }
    g_bCalibrating.store(false, std::memory_order_release);
    OnCancel();
}

void CEKeyInputforRevise::OnCancel() {
    g_bCalibrating.store(false, std::memory_order_release);
    if (m_bClosed)
        return;
    m_bClosed = true;
    StopTimers();
    StopWorkers();
    QDialog::done(QDialog::Rejected);
}

void CEKeyInputforRevise::StopTimers() {
    if (m_nWaitTimer != 0)
        killTimer(m_nWaitTimer);
    if (m_nTimeoutTimer != 0)
        killTimer(m_nTimeoutTimer);
    m_nWaitTimer = 0;
    m_nTimeoutTimer = 0;
}

void CEKeyInputforRevise::StopWorkers() {
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
            g_lastToken.WakeAll();
        } while (!waiter->WaitFor(kJoinSlice));
        waiter->Join();
    }
    // Cancelled above, so this returns within milliseconds.
    m_hSender.Join();
    m_bWaiting = false;
}

void CEKeyInputforRevise::PostRefresh() {
    QCoreApplication::postEvent(this, new QEvent(WM_CAL_REFRESH));
}

void CEKeyInputforRevise::DoDataExchange() {
    m_ui->firstPasswordEdit->setText(Q(m_strFirstPassword));
    m_ui->secondPasswordEdit->setText(Q(m_strSecondPassword));
    m_ui->statusLabel->setText(Q(m_strStatus));
}

std::uint32_t CEKeyInputforRevise::TickCount() {
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<std::uint32_t>(now.count());
}

bool CEKeyInputforRevise::event(QEvent* e) {
    if (e->type() == WM_CAL_REFRESH) {
        DoDataExchange();
        return true;
    }
    if (e->type() == WM_CAL_FIRST_INPUT) {
        // Nothing posts it: frames reach the steps through the waiters' queued calls.
        return true;
    }
    return QDialog::event(e);
}

void CEKeyInputforRevise::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
        e->accept();
        return;
    }
    QDialog::keyPressEvent(e);
}

void CEKeyInputforRevise::reject() {
    OnCancel();
}

void CEKeyInputforRevise::accept() {}
