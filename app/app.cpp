#include "app/app.h"

#include "app/hid_service.h"
#include "app/message_box.h"
#include "decode/key_dispatcher.h"
#include "receiver/hid_manager.h"

std::unique_ptr<SingleInstanceLock> g_hInstanceMutex;
std::uint32_t g_dwMutexError = 0;

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
