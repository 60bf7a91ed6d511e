#include "app/calibration_dlg.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTimerEvent>

#include "app/about_dlg.h"
#include "app/accessibility.h"
#include "app/message_box.h"
#include "platform/text/translatable.h"
#include "ui_calibration_dlg.h"

namespace {

QString Q(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace

CEKeyInputforRevise::CEKeyInputforRevise(QWidget* parent)
    : CEKeyInputforRevise(parent, Periods{}) {}

CEKeyInputforRevise::CEKeyInputforRevise(QWidget* parent, Periods periods)
    : QDialog(parent),
      m_ui(std::make_unique<Ui::CEKeyInputforRevise>()),
      m_pParent(parent),
      m_calibration(std::make_unique<TokenCalibration>(*this, periods)) {
    InstallDialogFontFallback();
    InstallAccessibleInterfaces();
    m_ui->setupUi(this);
    // A caption without system-menu box: no close button.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setFixedSize(516, 232);
    m_hSecondLabel = m_ui->secondPasswordLabel;
    m_hSecondEdit = m_ui->secondPasswordEdit;
}

CEKeyInputforRevise::~CEKeyInputforRevise() {
    // Its threads post to this object: they end while the whole dialog still exists.
    m_calibration.reset();
}

int CEKeyInputforRevise::DoModal() {
    OnInitDialog();
    return exec();
}

void CEKeyInputforRevise::OnInitDialog() {
    DoDataExchange();
    m_calibration->Start();
}

void CEKeyInputforRevise::setVisible(bool visible) {
    QDialog::setVisible(visible);
    // A window that is not on the screen yet cannot come forward: raised once shown.
    if (visible) {
        raise();
        activateWindow();
    }
}

void CEKeyInputforRevise::OnCancel() {
    m_calibration->Cancel();
}

void CEKeyInputforRevise::FieldsChanged() {
    QCoreApplication::postEvent(this, new QEvent(WM_CAL_REFRESH));
}

void CEKeyInputforRevise::EnableSecondInput(bool enable) {
    m_hSecondLabel->setEnabled(enable);
    m_hSecondEdit->setEnabled(enable);
}

void CEKeyInputforRevise::ShowVerdict(CalibrationVerdict verdict) {
    const QString text =
        QCoreApplication::translate(kStatusTextContext, CalibrationVerdictText(verdict));
    switch (verdict) {
        case CalibrationVerdict::Passed:
            ShowMessageBox(this, text, kProgramName, BoxIcon::None);
            break;
        case CalibrationVerdict::TimedOut:
            ShowMessageBox(this, text, tr("超时错误"), BoxIcon::Error);
            break;
        case CalibrationVerdict::NotPassed:
        case CalibrationVerdict::NetworkFailure:
        case CalibrationVerdict::Exception:
            ShowMessageBox(this, text, tr("警告"), BoxIcon::Error);
            break;
    }
}

void CEKeyInputforRevise::Closed() {
    QDialog::done(QDialog::Rejected);
}

void CEKeyInputforRevise::SetTimer(int id, std::chrono::milliseconds period) {
    int& timer = id == IDT_TIMEOUT ? m_nTimeoutTimer : m_nWaitTimer;
    if (timer != 0)
        killTimer(timer);
    timer = startTimer(period, Qt::PreciseTimer);
}

void CEKeyInputforRevise::KillTimer(int id) {
    int& timer = id == IDT_TIMEOUT ? m_nTimeoutTimer : m_nWaitTimer;
    if (timer != 0)
        killTimer(timer);
    timer = 0;
}

void CEKeyInputforRevise::Post(std::function<void()> call) {
    QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection);
}

void CEKeyInputforRevise::timerEvent(QTimerEvent* e) {
    if (e->timerId() == m_nTimeoutTimer) {
        m_calibration->OnTimer(IDT_TIMEOUT);
    } else if (e->timerId() == m_nWaitTimer) {
        m_calibration->OnTimer(IDT_WAIT);
    } else {
        QDialog::timerEvent(e);
    }
}

void CEKeyInputforRevise::DoDataExchange() {
    if (!m_calibration)
        return;
    m_ui->firstPasswordEdit->setText(Q(m_calibration->FirstPassword()));
    m_ui->secondPasswordEdit->setText(Q(m_calibration->SecondPassword()));
    m_ui->statusLabel->setText(
        QCoreApplication::translate(kStatusTextContext, m_calibration->Status().c_str()));
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
