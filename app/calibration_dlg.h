#pragma once

// CEKeyInputforRevise: the token calibration dialog, the window's face of
// TokenCalibration (service/token_calibration.h), which decides every step. The dialog
// shows the fields and the status line, runs the two timers as Qt timers, shows the
// verdict boxes and hands the calibration's worker results to the window thread.
//
// Threads: the window thread only. Results of the calibration's workers arrive as
// queued calls to this object, so a call that arrives after the dialog is gone is
// dropped by Qt. Every way out (Escape, time-out, verdict) ends the calibration's
// threads before the dialog ends; the destructor does the same for a dialog that never
// ran its close path. Enter does nothing: it would end the dialog without the close
// path.

#include <QDialog>
#include <QEvent>
#include <chrono>
#include <memory>

#include "service/token_calibration.h"

namespace Ui {
class CEKeyInputforRevise;
}
class QLabel;
class QLineEdit;

class CEKeyInputforRevise : public QDialog, public ICalibrationDialog {
    Q_OBJECT

public:
    static constexpr QEvent::Type WM_CAL_REFRESH = static_cast<QEvent::Type>(1912);
    static constexpr QEvent::Type WM_CAL_FIRST_INPUT = static_cast<QEvent::Type>(1913);
    static constexpr int IDT_WAIT = TokenCalibration::IDT_WAIT;
    static constexpr int IDT_TIMEOUT = TokenCalibration::IDT_TIMEOUT;
    static constexpr std::chrono::milliseconds kWaitPeriod = TokenCalibration::kWaitPeriod;
    static constexpr std::chrono::milliseconds kTimeoutPeriod = TokenCalibration::kTimeoutPeriod;

    using Periods = TokenCalibration::Periods;
    using ServiceCall = TokenCalibration::ServiceCall;

    explicit CEKeyInputforRevise(QWidget* parent);
    CEKeyInputforRevise(QWidget* parent, Periods periods);
    ~CEKeyInputforRevise() override;

    // OnInitDialog and the modal run.
    int DoModal();
    // Fills the controls and starts the calibration.
    void OnInitDialog();
    // Showing also brings the dialog to the front.
    void setVisible(bool visible) override;
    // Escape and every internal close: ends the calibration and the dialog.
    void OnCancel();

    void SetServiceCall(ServiceCall call) { m_calibration->SetServiceCall(std::move(call)); }

    int Step() const { return m_calibration->Step(); }
    const Periods& GetPeriods() const { return m_calibration->GetPeriods(); }

protected:
    bool event(QEvent* e) override;
    void timerEvent(QTimerEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void reject() override;  // Escape and the window's close
    void accept() override;  // Enter: ignored

private:
    // ICalibrationDialog, for m_calibration.
    void FieldsChanged() override;
    void EnableSecondInput(bool enable) override;
    void ShowVerdict(CalibrationVerdict verdict) override;
    void Closed() override;
    void SetTimer(int id, std::chrono::milliseconds period) override;
    void KillTimer(int id) override;
    void Post(std::function<void()> call) override;

    void DoDataExchange();  // the calibration's fields to the controls

    std::unique_ptr<Ui::CEKeyInputforRevise> m_ui;
    QLabel* m_hSecondLabel = nullptr;
    QLineEdit* m_hSecondEdit = nullptr;
    QWidget* m_pParent;
    int m_nWaitTimer = 0;     // Qt timer id of IDT_WAIT, 0 when not running
    int m_nTimeoutTimer = 0;  // Qt timer id of IDT_TIMEOUT, 0 when not running
    std::unique_ptr<TokenCalibration> m_calibration;
};
