#pragma once

// The main dialog: receiver status lines, token lines, fixed-serial comparison, the
// remote picture with the key highlight, and the Exit sequence.
//
// Threads: worker threads call the IMainDialog operations. They only change member
// strings (under m_lock) and post WM_REFRESH_FIELDS; the window thread moves the
// strings into the controls. The highlight stores the key at once and hands the
// repaint to the window thread without waiting for it, so a dispatcher thread never
// blocks on the window thread (which may itself be waiting for it at exit).

#include <QDialog>
#include <QEvent>
#include <QIcon>
#include <QPixmap>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "app/remote_picture.h"
#include "platform/process/worker_thread.h"
#include "platform/system/service_control.h"
#include "receiver/main_dialog.h"
#include "receiver/receiver_monitor.h"
#include "service/token_calibration.h"

namespace Ui {
class CMainDlg;
}
class QCheckBox;
class QLabel;
class QLineEdit;

class CMainDlg : public QDialog, public IMainDialog {
    Q_OBJECT

public:
    static constexpr QEvent::Type WM_REFRESH_FIELDS = static_cast<QEvent::Type>(1911);
    // Upper bound of the wait for the receiver threads at exit.
    static constexpr std::chrono::milliseconds kExitWait = kReceiverExitWait;

    // A receiver thread body (HID / HIDForGame) and how a thread is started; tests
    // substitute both.
    using ReceiverBody = std::function<unsigned(IMainDialog*)>;
    using ThreadStarter = std::function<bool(WorkerThread&, std::function<void()>)>;
    // Why a receiver (`ir` or the game controller) cannot be used, in one line, for
    // the tooltip of a status line that says it was not found or not opened; called
    // on the receiver's thread. Empty: no tooltip.
    using TroubleReason = std::function<std::string(bool ir)>;
    struct Receivers {
        ReceiverBody ir;
        ReceiverBody game;
        ThreadStarter start;  // empty: WorkerThread::Start
        TroubleReason why = {};
    };

    // `services` restarts the maker's HID service at exit; it must outlive the dialog.
    CMainDlg(IServiceControl& services, Receivers receivers, QWidget* parent = nullptr);
    ~CMainDlg() override;

    // Initialisation, start of the receiver threads inside the modal loop, and the
    // modal run; returns when OnExit has ended the dialog.
    int DoModal();
    // Fills the controls from the (empty) members, centres, sets the icon and reads
    // the fixed serial.
    void OnInitDialog();
    // Starts HID, then HIDForGame. On a failure shows the fatal box and exits; false
    // then.
    bool StartReceiverThreads();

    // IMainDialog, any thread.
    void ShowIrStatus(int code) override;
    void ShowGameStatus(int code) override;
    void ShowTokenResult(int code) override;
    void OnTokenTaken(const char* digits) override;
    void HighlightKey(KeyId k) override;
    void ClearHighlight() override;

    // Window-thread handlers.
    void OnExit();
    void OnClearOutput();
    void OnCompareToggled();
    void OnSetFixedSerial();
    void OnAbout();
    // Runs the calibration dialog modally over this one.
    void OnCalibrate();
    // Periods of the calibration dialog's waits; tests and the demo shorten them.
    void SetCalibrationPeriods(std::chrono::milliseconds wait, std::chrono::milliseconds timeout) {
        m_calibrationWait = wait;
        m_calibrationTimeout = timeout;
    }
    // Fills every exchanged control from its member string.
    void UpdateControls();

    // A copy of the member strings, taken under the lock.
    struct Strings {
        std::string serial, dynPassword, tokenStatus, irStatus, gameStatus, fixedSerial,
            compareResult, verifyResult;
        bool compare = false;
        std::string irReason, gameReason;  // the status lines' tooltips
    };
    Strings Snapshot() const;
    KeyId HighlightedKey() const { return m_nHighlightKey.Current(); }

protected:
    bool event(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void reject() override;  // Escape and the close button
    void accept() override;  // the OK command (Enter): ignored

private:
    void PostRefresh();
    void RepaintLater();
    std::string TroubleReasonFor(bool ir) const;
    void ShowCompareControls();

    std::unique_ptr<Ui::CMainDlg> m_ui;
    IServiceControl& m_services;
    Receivers m_receivers;
    std::chrono::milliseconds m_calibrationWait = TokenCalibration::kWaitPeriod;
    std::chrono::milliseconds m_calibrationTimeout = TokenCalibration::kTimeoutPeriod;

    QIcon m_hIcon;
    WorkerThread m_hIrThread;
    WorkerThread m_hGameThread;
    QPixmap m_bmpRemote;
    HighlightState m_nHighlightKey;
    QCheckBox* m_pCompareCheck = nullptr;
    QLabel* m_pCompareLabel = nullptr;
    QLineEdit* m_pCompareEdit = nullptr;

    mutable std::mutex m_lock;  // guards the strings and m_bCompare
    std::string m_strSerial;
    std::string m_strDynPassword;
    std::string m_strTokenStatus;
    std::string m_strIrStatus;
    std::string m_strGameStatus;
    bool m_bCompare = false;
    std::string m_strFixedSerial;
    std::string m_strCompareResult;
    std::string m_strVerifyResult;
    std::string m_strIrReason;
    std::string m_strGameReason;

    bool m_bExiting = false;
};
