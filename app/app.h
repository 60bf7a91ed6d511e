#pragma once

// The application: single-instance check, stop of the maker's HID service, and the
// modal run of the main dialog.

#include <cstdint>
#include <memory>

#include "app/main_dlg.h"
#include "platform/service_control.h"
#include "platform/single_instance.h"
#include "service/service_config.h"

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

    // Runs the whole program and returns false when it is over, whatever happened.
    bool InitInstance();

private:
    std::unique_ptr<IServiceControl> m_ownServices;
    IServiceControl* m_pServices;
    CMainDlg::Receivers m_receivers;
};
