#include "app/app.h"

#include "app/hid_service.h"
#include "app/message_box.h"
#include "platform/trace.h"
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
                   QString::fromStdString("Bad configuration file:\n" + error +
                                          "\nThe token service will not be called until it is "
                                          "corrected."),
                   "WARNING", BoxIcon::Error);
    return false;
}

CQuillonApp::CQuillonApp()
    : m_ownServices(MakeSystemdServiceControl()),
      m_pServices(m_ownServices.get()),
      m_receivers{&HID, &HIDForGame, {}} {}

CQuillonApp::CQuillonApp(IServiceControl& services, CMainDlg::Receivers receivers)
    : m_pServices(&services), m_receivers(std::move(receivers)) {}

bool CQuillonApp::InitInstance() {
    if (g_dwMutexError == static_cast<std::uint32_t>(kErrorAlreadyExists)) {
        ShowMessageBox(nullptr, "Another instance is running...!", "WARNING", BoxIcon::Error);
        return false;
    }
    // First use: the scan-code tables are filled here, before any other thread runs.
    HidManager* manager = GetHidManager();
    StopHidService(manager, *m_pServices, [](const std::string& text, const std::string& caption) {
        ShowMessageBox(nullptr, QString::fromStdString(text), QString::fromStdString(caption),
                       BoxIcon::Information);
    });

    CMainDlg dlg(*m_pServices, m_receivers);
    dlg.DoModal();
    return false;
}
