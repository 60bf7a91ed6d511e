#pragma once

// The application: single-instance check, stop of the maker's HID service, and the
// modal run of the main dialog.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "app/main_dlg.h"
#include "app/station_window.h"
#include "platform/process/single_instance.h"
#include "platform/system/service_control.h"
#include "service/service_config.h"

class QSocketNotifier;

// The single-instance lock, taken at program load, and the code it gave
// (kErrorAlreadyExists when another copy holds it).
extern std::unique_ptr<SingleInstanceLock> g_hInstanceMutex;
extern std::uint32_t g_dwMutexError;

// Reads the token service configuration for both flows at start. A bad or unreadable
// file is reported once, in a box (caption "WARNING") naming the file, the line and
// the fault; the flows then send nothing until the program is started again, and
// every verification shows its network-failure line. Returns false in that case.
bool LoadServiceConfigAtStart(const ConfigEnvironment& env);

class CQuillonApp {
public:
    // The real service manager and receiver threads.
    CQuillonApp();
    // Tests substitute both; `services` must outlive the object.
    CQuillonApp(IServiceControl& services, CMainDlg::Receivers receivers);
    ~CQuillonApp();
    CQuillonApp(const CQuillonApp&) = delete;
    CQuillonApp& operator=(const CQuillonApp&) = delete;

    // The station window instead of the main window (quillon --station): the same
    // start, lock and exit sequence. Before InitInstance.
    void UseStationWindow(StationOptions options) { m_station = std::move(options); }

    // Runs the whole program and returns false when it is over, whatever happened.
    bool InitInstance();

    // SIGTERM, SIGINT and SIGHUP then run RequestExit() from the event loop, after
    // `first` when given; further ones do not end the program before the exit
    // sequence has run. False, with a trace line, when they cannot be caught (they
    // then end the program).
    bool ExitOnStopSignals(std::function<void()> first = {});

    // What Exit does, from wherever the program is: boxes and dialogs over the main
    // dialog (or the station window) are closed, then it runs its exit sequence. Before the main
    // dialog is up, start-up ends there and the service is started again if it was
    // stopped. Window thread only.
    void RequestExit();

private:
    std::unique_ptr<IServiceControl> m_ownServices;
    IServiceControl* m_pServices;
    CMainDlg::Receivers m_receivers;
    CMainDlg* m_pMainDlg = nullptr;  // while it runs
    std::optional<StationOptions> m_station;
    CStationWnd* m_pStationWnd = nullptr;  // while it runs
    bool m_bExitRequested = false;
    std::unique_ptr<QSocketNotifier> m_stopNotifier;
};
