#pragma once

// The station window (quillon --station): the end-of-line test of kit after kit, for
// an operator with a barcode scanner and the remote. Each unit is one EndOfLineRun,
// the very run quillonctl test drives, written to the same store; the window only
// shows it and takes the operator's keys (a scan or Enter starts a run, Escape aborts
// it after a confirmation). Leaving runs the main window's exit sequence: receiver
// threads ended, the maker's service started again.

#include <QDialog>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/system/service_control.h"
#include "station/eol_run.h"
#include "station/results_open.h"
#include "station/station_state.h"

namespace Ui {
class CStationWnd;
}
class HidSystem;
class ReceiverSession;
class StationRelay;

struct StationOptions {
    std::string db;                   // like quillonctl test --db; empty: the configuration's
    std::optional<std::string> keys;  // over the configuration's `keys`
    std::chrono::milliseconds keyTimeout{std::chrono::seconds(120)};
    HidSystem* hid = nullptr;  // nullptr: DefaultHidSystem()
    std::string version;
    std::string statePath;  // the operator's file; empty: StationStatePath()
};

// The calibration's timers and posted calls on the window's thread.
class QtEolHost : public EolHost {
public:
    explicit QtEolHost(QObject* context) : m_context(context) {}
    ~QtEolHost() override;
    void Post(std::function<void()> call) override;
    void SetTimer(int id, std::chrono::milliseconds period, std::function<void()> fire) override;
    void KillTimer(int id) override;

private:
    QObject* m_context;
    std::map<int, std::unique_ptr<QTimer>> m_timers;
};

class CStationWnd : public QDialog {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kTickPeriod{100};

    // `services` restarts the maker's service at exit; it must outlive the window.
    CStationWnd(IServiceControl& services, StationOptions options, QWidget* parent = nullptr);
    ~CStationWnd() override;

    // OnInitDialog and the modal run; returns when OnExit has ended the window.
    int DoModal();
    // Opens the store, reads the operator id, fills the header; idle afterwards.
    void OnInitDialog();

    // The exit sequence; a run still going is aborted and recorded first.
    void OnExit();
    // A run with `labelSerial` (empty: none). False, with the reason shown, when it
    // cannot start (no store, a serial that is not plain text, a run going).
    bool StartRun(const std::string& labelSerial);
    // Escape during a run: after the operator confirms, the run ends ABORTED.
    void OnEscape();

    bool Running() const { return m_session != nullptr; }
    // The last finished run's record, as the store returned it.
    const std::optional<RunRecord>& LastRecord() const { return m_lastRecord; }

protected:
    void keyPressEvent(QKeyEvent* e) override;
    void reject() override;  // the close button
    void accept() override;  // Enter: the serial field's own
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void OnSerialEntered();
    void OnOperatorEntered();
    void OnTick();
    void RenderLater();
    void Render();
    void EndRun();
    void ShowStore();
    // The store's own summary of this station's runs since the window opened.
    void ShowCounts();
    void ShowVerdict(const RunRecord& record, const QString& stored);
    void ClearRunFields();
    void FocusSerial();

    std::unique_ptr<Ui::CStationWnd> m_ui;
    IServiceControl& m_services;
    StationOptions m_options;
    std::string m_statePath;
    OpenedResults m_results;
    std::string m_storeError;
    QtEolHost m_host{this};
    QTimer m_tick;

    // Destroyed in reverse: the session's threads end before what they call goes.
    std::unique_ptr<EndOfLineRun> m_run;
    std::unique_ptr<StationRelay> m_relay;
    std::unique_ptr<ReceiverSession> m_session;
    std::atomic<bool> m_renderPosted{false};

    UtcMicros m_openedAt = 0;
    std::optional<RunRecord> m_lastRecord;
    bool m_exiting = false;
};
