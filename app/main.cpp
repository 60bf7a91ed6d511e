// Program load, then the application's instance start.

#include <QApplication>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/app.h"
#include "app/translation.h"
#include "platform/process/single_instance.h"
#include "platform/process/stop_signals.h"
#include "platform/process/trace.h"
#include "service/service_config.h"

#ifndef QUILLON_VERSION
#error "QUILLON_VERSION must be defined by the build"
#endif

namespace {

// Qt's own messages take the trace's way out, which never blocks the window thread on
// a stalled stderr.
void QtMessageToTrace(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    TraceLine(qFormatLogMessage(type, context, text).toStdString());
    // Qt ends the process as soon as a fatal message returns (no display, say): its
    // reason must reach stderr first. Bounded, so a stalled stderr still lets it end.
    if (type == QtFatalMsg)
        TraceFlush(std::chrono::seconds(1));
}

// The only arguments the program reads: both are answered before anything else (no
// lock, no display), so a packaging script or a user can ask at any time.
bool AnswerInfoArgument(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::printf(
                "Usage: quillon [--station] [--help | --version]\n"
                "Checks the Orvane remote-control kit (IR and game-controller receivers,\n"
                "remote, token) in a window on the X display. --station opens the\n"
                "end-of-line station window instead: kit after kit, each scanned, tested\n"
                "and recorded as quillonctl test does. Any other argument is ignored.\n"
                "See quillon(1); quillonctl(1) does the same from a terminal.\n");
            return true;
        }
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("quillon %s\n", QUILLON_VERSION);
            return true;
        }
    }
    return false;
}

bool StationArgument(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--station") == 0)
            return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (AnswerInfoArgument(argc, argv))
        return 0;

    // Taken before anything else, so a second copy touches nothing.
    g_hInstanceMutex = std::make_unique<SingleInstanceLock>(kInstanceMutexName);
    g_dwMutexError = static_cast<std::uint32_t>(g_hInstanceMutex->ErrorCode());

    qInstallMessageHandler(&QtMessageToTrace);
    // Qt gets the program name only; other arguments are ignored.
    int qtArgc = argc > 0 ? 1 : 0;
    char* qtArgv[] = {argc > 0 ? argv[0] : nullptr, nullptr};
    QApplication application(qtArgc, qtArgv);
    // Before any window or thread: the forms read the catalogue as they are made.
    const std::string language = LoadTranslation();
    Trace("[KEYWARDEN] Texts in %s", language.empty() ? "the source language" : language.c_str());

    // A second copy shows only its refusal (InitInstance).
    if (!g_hInstanceMutex->AlreadyRunning())
        LoadServiceConfigAtStart(ConfigEnvironment::FromProcess());
    {
        CQuillonApp theApp;
        if (StationArgument(argc, argv)) {
            StationOptions station;
            station.version = QUILLON_VERSION;
            theApp.UseStationWindow(std::move(station));
        }
        theApp.ExitOnStopSignals();
        theApp.InitInstance();
    }
    g_hInstanceMutex.reset();
    // Ended by a signal: the exit sequence has run; now end the way the signal asks.
    EndByStopSignal();
    return 0;
}
