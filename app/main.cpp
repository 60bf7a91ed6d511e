// Program load, then the application's instance start.

#include <QApplication>
#include <memory>

#include "app/app.h"
#include "platform/single_instance.h"
#include "service/service_config.h"

int main(int argc, char** argv) {
    // Taken before anything else, so a second copy touches nothing.
    g_hInstanceMutex = std::make_unique<SingleInstanceLock>(kInstanceMutexName);
    g_dwMutexError = static_cast<std::uint32_t>(g_hInstanceMutex->LastError());

    // The program reads no command line of its own; Qt gets the program name only.
    int qtArgc = argc > 0 ? 1 : 0;
    char* qtArgv[] = {argc > 0 ? argv[0] : nullptr, nullptr};
    QApplication application(qtArgc, qtArgv);

    // A second copy shows only its refusal (InitInstance).
    if (!g_hInstanceMutex->AlreadyRunning())
        LoadServiceConfigAtStart(ConfigEnvironment::FromProcess());
    {
        CQuillonApp theApp;
        theApp.InitInstance();
    }
    g_hInstanceMutex.reset();
    return 0;
}
