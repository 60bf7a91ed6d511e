#include "app/app.h"

#include <signal.h>

#include <QApplication>
#include <QSocketNotifier>

#include "app/hid_service.h"
#include "app/message_box.h"
#include "decode/key_dispatcher.h"
#include "diagnosis/receiver_diagnosis.h"
#include "platform/process/stop_signals.h"
#include "platform/process/trace.h"
#include "platform/text/translatable.h"
#include "receiver/hid_manager.h"
#include "receiver/receiver_monitor.h"
#include "service/token_verification.h"

std::unique_ptr<SingleInstanceLock> g_hInstanceMutex;
std::uint32_t g_dwMutexError = 0;

bool LoadServiceConfigAtStart(const ConfigEnvironment& env) {
    ServiceConfig config = LoadServiceConfig(env);
    const std::string error = config.error;
    if (config.ok()) {
        Trace("[KEYWARDEN] Token service %s (%s)", config.settings.endpoint.c_str(),
              config.settings.source.empty() ? "built in" : config.settings.source.c_str());
    } else {
        Trace("[KEYWARDEN] %s", error.c_str());
    }
    SetFlowServiceConfig(std::move(config));
    if (error.empty())
        return true;
    ShowMessageBox(nullptr,
                   QCoreApplication::translate("CQuillonApp",
                                               "Bad configuration file:\n%1\nThe token service "
                                               "will not be called until it is corrected.")
                       .arg(QString::fromStdString(error)),
                   QCoreApplication::translate("CQuillonApp", "WARNING"), BoxIcon::Error);
    return false;
}

CQuillonApp::CQuillonApp()
    : m_ownServices(MakeSystemdServiceControl()),
      m_pServices(m_ownServices.get()),
      m_receivers{&HID, &HIDForGame, {}, [](bool ir) {
                      return ReceiverTroubleReason(DefaultHidSystem(), ir);
                  }} {}

CQuillonApp::CQuillonApp(IServiceControl& services, CMainDlg::Receivers receivers)
    : m_pServices(&services), m_receivers(std::move(receivers)) {}

CQuillonApp::~CQuillonApp() = default;

namespace {

const char* SignalName(int signo) {
    switch (signo) {
        case SIGTERM:
            return "SIGTERM";
        case SIGINT:
            return "SIGINT";
        case SIGHUP:
            return "SIGHUP";
    }
    return "signal";
}

}  // namespace

bool CQuillonApp::ExitOnStopSignals(std::function<void()> first) {
    std::string error;
    // A second signal (a closed terminal sends two) must not cut the exit short: the
    // maker's service is started again whatever comes, and that call has its own bound.
    if (!InstallStopSignals(&error, RepeatedStopSignal::LetsTheExitFinish)) {
        Trace("[KEYWARDEN] Stop signals are not caught: %s", error.c_str());
        return false;
    }
    m_stopNotifier = std::make_unique<QSocketNotifier>(StopSignalFd(), QSocketNotifier::Read);
    QObject::connect(m_stopNotifier.get(), &QSocketNotifier::activated,
                     [this, first = std::move(first)] {
                         const int signo = TakeStopSignal();
                         Trace("[KEYWARDEN] %s received, exiting", SignalName(signo));
                         if (first)
                             first();
                         RequestExit();
                     });
    return true;
}

void CQuillonApp::RequestExit() {
    m_bExitRequested = true;
    // Innermost first: each box or dialog ends through its own close path (the
    // calibration dialog cancels its call), and its modal loop returns once this does.
    for (int depth = 0; depth < 16; ++depth) {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || modal == m_pMainDlg || modal == m_pStationWnd)
            break;
        modal->close();
        if (QApplication::activeModalWidget() == modal)
            modal->hide();
    }
    if (m_pMainDlg != nullptr)
        m_pMainDlg->OnExit();
    if (m_pStationWnd != nullptr)
        m_pStationWnd->OnExit();
}

bool CQuillonApp::InitInstance() {
    if (g_dwMutexError == static_cast<std::uint32_t>(kErrorAlreadyExists)) {
        ShowMessageBox(
            nullptr, QCoreApplication::translate("CQuillonApp", "Another instance is running...!"),
            QCoreApplication::translate("CQuillonApp", "WARNING"), BoxIcon::Error);
        return false;
    }
    // First use: the scan-code tables are filled here, before any other thread runs.
    HidManager* manager = GetHidManager();
    StopHidService(manager, *m_pServices, [](const std::string& text, const std::string& caption) {
        ShowMessageBox(nullptr, QCoreApplication::translate(kStatusTextContext, text.c_str()),
                       QCoreApplication::translate(kStatusTextContext, caption.c_str()),
                       BoxIcon::Information);
    });
    if (m_bExitRequested) {
        // Asked to leave during start-up: no dialog, but the service comes back.
        RestartHidService(manager, *m_pServices);
        return false;
    }

    if (m_station) {
        CStationWnd station(*m_pServices, *m_station);
        m_pStationWnd = &station;
        station.DoModal();
        m_pStationWnd = nullptr;
        return false;
    }
    CMainDlg dlg(*m_pServices, m_receivers);
    m_pMainDlg = &dlg;
    dlg.DoModal();
    m_pMainDlg = nullptr;
    return false;
}
