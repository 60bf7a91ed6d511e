#include "app/main_dlg.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <cstring>

#include "app/about_dlg.h"
#include "app/accessibility.h"
#include "app/calibration_dlg.h"
#include "app/fixed_serial.h"
#include "app/hid_service.h"
#include "app/message_box.h"
#include "decode/status_texts.h"
#include "platform/process/running.h"
#include "platform/process/trace.h"
#include "platform/text/translatable.h"
#include "receiver/hid_manager.h"
#include "receiver/types.h"
#include "service/token_frame_box.h"
#include "service/token_taken.h"
#include "service/token_verification.h"
#include "ui_main_dlg.h"

namespace {

// Kept as they stand, as the status lines are; translated when shown.
constexpr const char* kSerialsAgree = QT_TRANSLATE_NOOP("Status", "序列号一致");
constexpr const char* kSerialsDiffer = QT_TRANSLATE_NOOP("Status", "序列号不一致");

bool IsReceiverStatus(int code) {
    return code == RECEIVER_READING || code == RECEIVER_WAITING || code == RECEIVER_ENDED;
}

// Not found, or lost: the status line gets a reason and the token lines empty.
bool IsReceiverTrouble(int code) {
    return code == RECEIVER_WAITING || code == RECEIVER_ENDED;
}

QString Q(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// A status or verdict line, in the user's language.
QString Shown(const std::string& s) {
    return QCoreApplication::translate(kStatusTextContext, s.c_str());
}

}  // namespace

CMainDlg::CMainDlg(IServiceControl& services, Receivers receivers, QWidget* parent)
    : QDialog(parent),
      m_ui(std::make_unique<Ui::CMainDlg>()),
      m_services(services),
      m_receivers(std::move(receivers)) {
    InstallDialogFontFallback();
    InstallAccessibleInterfaces();
    InitRemoteResources();
    m_ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(794, 536);

    m_hIcon = LoadProgramIcon();
    m_bmpRemote = LoadRemoteBitmap(kBitmapPressed);

    auto* digits = new QRegularExpressionValidator(QRegularExpression("[0-9]*"), this);
    for (QLineEdit* edit :
         {m_ui->fixedSerialEdit, m_ui->serialEdit, m_ui->passwordEdit, m_ui->compareEdit}) {
        edit->setValidator(digits);
    }

    connect(m_ui->exitButton, &QPushButton::clicked, this, &CMainDlg::OnExit);
    connect(m_ui->clearButton, &QPushButton::clicked, this, &CMainDlg::OnClearOutput);
    connect(m_ui->aboutButton, &QPushButton::clicked, this, &CMainDlg::OnAbout);
    connect(m_ui->setButton, &QPushButton::clicked, this, &CMainDlg::OnSetFixedSerial);
    connect(m_ui->compareCheck, &QCheckBox::clicked, this, &CMainDlg::OnCompareToggled);
    connect(m_ui->calibrateButton, &QPushButton::clicked, this, &CMainDlg::OnCalibrate);
}

void CMainDlg::OnCalibrate() {
    CEKeyInputforRevise calibration(this, {m_calibrationWait, m_calibrationTimeout});
    calibration.DoModal();
}

CMainDlg::~CMainDlg() {
    // Normally OnExit has done this; the threads call into this object, so they must
    // have ended before it goes.
    if (m_hIrThread.Started() || m_hGameThread.Started())
        StopRunning();
    m_hIrThread.Join();
    m_hGameThread.Join();
}

int CMainDlg::DoModal() {
    OnInitDialog();
    // Started from inside the modal loop, once the window is shown, so that a failure
    // box and the exit that follows it run as they would from a button.
    QTimer::singleShot(0, this, [this] { StartReceiverThreads(); });
    return exec();
}

void CMainDlg::OnInitDialog() {
    UpdateControls();
    if (QScreen* s = screen())
        move(s->availableGeometry().center() - rect().center());

    m_pCompareCheck = m_ui->compareCheck;
    m_pCompareLabel = m_ui->compareLabel;
    m_pCompareEdit = m_ui->compareEdit;

    setWindowIcon(m_hIcon);

    char buffer[kFixedSerialLength + 1] = {};
    if (ReadFixedSerial(buffer)) {
        {
            std::lock_guard lock(m_lock);
            m_strFixedSerial = buffer;  // up to the first NUL
        }
        PostRefresh();
        ShowCompareControls();
    } else {
        {
            std::lock_guard lock(m_lock);
            m_strFixedSerial.clear();
        }
        m_pCompareCheck->hide();
        m_pCompareLabel->hide();
        m_pCompareEdit->hide();
    }
}

bool CMainDlg::StartReceiverThreads() {
    // An exit that came before the modal loop got here: nothing to start.
    if (m_bExiting)
        return false;
    ThreadStarter start = m_receivers.start;
    if (!start) {
        start = [](WorkerThread& t, std::function<void()> body) {
            return t.Start(std::move(body));
        };
    }
    // Set here as well as by the threads, so that an exit that comes before a thread
    // has begun is not undone by it.
    g_bRunning.store(true, std::memory_order_release);
    if (!m_receivers.ir || !start(m_hIrThread, [this] { m_receivers.ir(this); })) {
        ShowMessageBox(this, tr("无法启动HID线程，程序中止"), tr("严重错误"), BoxIcon::Error);
        OnExit();
        return false;
    }
    if (!m_receivers.game || !start(m_hGameThread, [this] { m_receivers.game(this); })) {
        ShowMessageBox(this, tr("无法启动HIDForGame线程，程序中止"), tr("严重错误"),
                       BoxIcon::Error);
        OnExit();
        return false;
    }
    return true;
}

void CMainDlg::ShowIrStatus(int code) {
    // Worked out before the lock: it reads sysfs, /dev and the udev rules.
    std::string reason = IsReceiverTrouble(code) ? TroubleReasonFor(true) : std::string();
    {
        std::lock_guard lock(m_lock);
        if (IsReceiverStatus(code))
            m_strIrReason = std::move(reason);
        if (IsReceiverStatus(code))
            m_strIrStatus = IrStatusText(code);
        if (IsReceiverTrouble(code)) {
            m_strTokenStatus.clear();
            m_strSerial.clear();
            m_strDynPassword.clear();
        }
    }
    PostRefresh();
}

void CMainDlg::ShowGameStatus(int code) {
    std::string reason = IsReceiverTrouble(code) ? TroubleReasonFor(false) : std::string();
    {
        std::lock_guard lock(m_lock);
        if (IsReceiverStatus(code))
            m_strGameReason = std::move(reason);
        if (IsReceiverStatus(code))
            m_strGameStatus = GameStatusText(code);
    }
    PostRefresh();
}

std::string CMainDlg::TroubleReasonFor(bool ir) const {
    if (!m_receivers.why)
        return {};
    try {
        return m_receivers.why(ir);
    } catch (const std::exception&) {
        return {};  // a tooltip is not worth a receiver thread
    }
}

void CMainDlg::ShowTokenResult(int code) {
    {
        std::lock_guard lock(m_lock);
        if (code >= TOKEN_OK && code <= TOKEN_BAD_LENGTH)
            m_strTokenStatus = TokenResultText(code);
        if (code > TOKEN_OK && code <= TOKEN_BAD_LENGTH) {
            m_strSerial.clear();
            m_strDynPassword.clear();
        }
    }
    PostRefresh();
}

void CMainDlg::OnTokenTaken(const char* digits) {
    if (digits == nullptr)
        return;
    TokenTakenSteps steps;
    {
        std::lock_guard lock(m_lock);
        if (m_bCompare)
            steps.fixedSerial = m_strFixedSerial;
    }
    steps.show = [this, compared = steps.fixedSerial](const TakenToken& token) {
        {
            std::lock_guard lock(m_lock);
            m_strSerial = token.serial;
            m_strDynPassword = token.password;
            // Only if the comparison was not switched off or the serial cleared since it
            // was read: as if that had happened before the frame came.
            if (token.serialsAgree && m_bCompare && m_strFixedSerial == compared)
                m_strCompareResult = *token.serialsAgree ? kSerialsAgree : kSerialsDiffer;
        }
        PostRefresh();
    };
    steps.verified = [this](const TakenToken&, const TokenCheck& check) {
        {
            std::lock_guard lock(m_lock);
            m_strVerifyResult = VerifyText(check.outcome);
        }
        PostRefresh();
    };
    TakeTokenFrame(digits, steps);
}

void CMainDlg::HighlightKey(KeyId k) {
    if (m_nHighlightKey.Set(k))
        RepaintLater();
}

void CMainDlg::ClearHighlight() {
    m_nHighlightKey.Clear();
    RepaintLater();
}

void CMainDlg::OnExit() {
    if (m_bExiting)
        return;
    m_bExiting = true;
    // The service is restarted even if a thread is still running, so the user is not
    // left without it.
    EndReceiverThreads(m_hIrThread, m_hGameThread, kExitWait);
    RestartHidService(GetHidManager(), m_services);
    QDialog::done(QDialog::Rejected);
}

void CMainDlg::OnClearOutput() {
    {
        std::lock_guard lock(m_lock);
        m_strTokenStatus.clear();
        m_strDynPassword.clear();
        m_strSerial.clear();
        m_strVerifyResult.clear();
        m_strCompareResult.clear();
        m_strFixedSerial.clear();
    }
    UpdateControls();
}

void CMainDlg::OnCompareToggled() {
    {
        std::lock_guard lock(m_lock);
        m_bCompare = !m_bCompare;
        m_strCompareResult.clear();
    }
    PostRefresh();
}

void CMainDlg::OnSetFixedSerial() {
    if (ShowMessageBox(this, tr("是否设置固定密码"), tr("请确认"), BoxIcon::None,
                       BoxButtons::YesNo) != BoxAnswer::Yes) {
        return;
    }
    // Only the fixed-serial field is read back: the other exchanged controls show
    // strings that worker threads may have changed since the last refresh, and reading
    // them back would overwrite the newer values with what is on screen.
    const QByteArray typed = m_ui->fixedSerialEdit->text().toUtf8();
    std::string serial(typed.constData(), static_cast<std::size_t>(typed.size()));
    {
        std::lock_guard lock(m_lock);
        m_strFixedSerial = serial;
    }
    if (serial.size() != kFixedSerialLength) {
        ShowMessageBox(this, tr("输入的序列号长度不对，请重新输入"), tr("警告"), BoxIcon::Error);
        return;
    }
    if (!WriteFixedSerial(serial).opened)
        return;
    ShowCompareControls();
}

void CMainDlg::OnAbout() {
    CAboutDlg about(nullptr);
    about.exec();
}

void CMainDlg::UpdateControls() {
    const Strings s = Snapshot();
    m_ui->serialEdit->setText(Q(s.serial));
    m_ui->passwordEdit->setText(Q(s.dynPassword));
    m_ui->tokenStatusLabel->setText(Shown(s.tokenStatus));
    m_ui->irStatusLabel->setText(Shown(s.irStatus));
    m_ui->gameStatusLabel->setText(Shown(s.gameStatus));
    m_ui->irStatusLabel->setToolTip(Q(s.irReason));
    m_ui->gameStatusLabel->setToolTip(Q(s.gameReason));
    m_ui->fixedSerialEdit->setText(Q(s.fixedSerial));
    m_ui->compareEdit->setText(Shown(s.compareResult));
    m_ui->verifyResultLabel->setText(Shown(s.verifyResult));
}

CMainDlg::Strings CMainDlg::Snapshot() const {
    std::lock_guard lock(m_lock);
    return Strings{m_strSerial,     m_strDynPassword, m_strTokenStatus,   m_strIrStatus,
                   m_strGameStatus, m_strFixedSerial, m_strCompareResult, m_strVerifyResult,
                   m_bCompare,      m_strIrReason,    m_strGameReason};
}

bool CMainDlg::event(QEvent* e) {
    if (e->type() == WM_REFRESH_FIELDS) {
        if (!g_bCalibrating.load(std::memory_order_acquire))
            UpdateControls();
        return true;
    }
    return QDialog::event(e);
}

void CMainDlg::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (isMinimized()) {
        PaintMinimisedIcon(p, rect(), m_hIcon);
        return;
    }
    PaintRemoteArea(p, rect(), m_nHighlightKey.Current(), LoadRemoteBitmap(kBitmapNormal),
                    m_bmpRemote, palette());
}

void CMainDlg::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
        // Enter would end the dialog without the exit steps, leaving the maker's
        // service stopped.
        e->accept();
        return;
    }
    QDialog::keyPressEvent(e);
}

void CMainDlg::reject() {
    OnExit();
}

void CMainDlg::accept() {}

void CMainDlg::PostRefresh() {
    QCoreApplication::postEvent(this, new QEvent(WM_REFRESH_FIELDS));
}

void CMainDlg::RepaintLater() {
    // Posted, not sent: the caller is a dispatcher thread and must not wait for the
    // window thread. Posted calls run in the order they were made. The picture's
    // description for a screen reader goes with the repaint.
    QMetaObject::invokeMethod(
        this,
        [this] {
            update(RemoteFrameRect(rect()));
            m_ui->remotePicture->ShowHeldKey(m_nHighlightKey.Current());
        },
        Qt::QueuedConnection);
}

void CMainDlg::ShowCompareControls() {
    m_pCompareCheck->show();
    m_pCompareLabel->show();
    m_pCompareEdit->show();
}
