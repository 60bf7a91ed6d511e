// Program load, then the application's instance start.

#include <QApplication>
#include <memory>

#include "app/app.h"
#include "platform/single_instance.h"
#include "platform/stop_signals.h"
#include "platform/trace.h"
#include "service/service_config.h"

namespace {

// Qt's own messages take the trace's way out, which never blocks the window thread on
// a stalled stderr.
void QtMessageToTrace(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    TraceLine(qFormatLogMessage(type, context, text).toStdString());
}

}  // namespace

int main(int argc, char** argv) {
    // Taken before anything else, so a second copy touches nothing.
    g_hInstanceMutex = std::make_unique<SingleInstanceLock>(kInstanceMutexName);
    g_dwMutexError = static_cast<std::uint32_t>(g_hInstanceMutex->LastError());

    qInstallMessageHandler(&QtMessageToTrace);
    // The program reads no command line of its own; Qt gets the program name only.
    int qtArgc = argc > 0 ? 1 : 0;
    char* qtArgv[] = {argc > 0 ? argv[0] : nullptr, nullptr};
    QApplication application(qtArgc, qtArgv);

    // A second copy shows only its refusal (InitInstance).
    if (!g_hInstanceMutex->AlreadyRunning())
        LoadServiceConfigAtStart(ConfigEnvironment::FromProcess());
    {
        CQuillonApp theApp;
        theApp.ExitOnStopSignals();
        theApp.InitInstance();
    }
    g_hInstanceMutex.reset();
    // Ended by a signal: the exit sequence has run; now end the way the signal asks.
    EndByStopSignal();
    return 0;
}
