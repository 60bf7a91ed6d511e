// quillon_demo: Quillon's real main dialog, receiver threads, decoder and token
// service client, wired to the virtual kit and to the token-service simulator.
//
// With a display: the main dialog and a virtual remote window to play with. Without
// one (--headless, or DISPLAY unset): a private Xvfb and the scripted scenario, with
// screenshots and a log in the output folder. --soak MINUTES: a private Xvfb and the
// soak (soak.h) instead of the scenario.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "app/translation.h"
#include "platform/hid/hid_recorder.h"
#include "platform/process/stop_signals.h"
#include "tools/quillon_demo/kit_rig.h"
#include "tools/quillon_demo/remote_window.h"
#include "tools/quillon_demo/scenario.h"
#include "tools/quillon_demo/soak.h"
#include "tools/quillon_demo/station_scenario.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Options {
    bool headless = false;
    bool station = false;
    std::string out = "demo-out";
    bool outGiven = false;
    std::string simulator = KitRig::DefaultSimulator();
    std::string record;  // a hid-recorder file of what the receivers send
    std::optional<double> soakMinutes;
};

void PrintHelp() {
    std::printf(
        "usage: quillon-demo [--headless | --station | --soak MINUTES] [--out DIR] [--lang L]\n"
        "                    [--sim TOKEN_SERVICE_SIM]\n"
        "                    [--record FILE]\n"
        "\n"
        "Runs Quillon's main dialog on a virtual kit (IR receiver, game-controller\n"
        "receiver, remote with token) against a token-service simulator on 127.0.0.1.\n"
        "No real device, systemd unit or network service is touched.\n"
        "\n"
        "  --headless  run the scripted scenario on a private Xvfb, then quillonctl test on\n"
        "              the kit, and write screenshots, a log and the test's record (the\n"
        "              default when DISPLAY is not set)\n"
        "  --station   the station window (quillon --station) on a private Xvfb instead: a\n"
        "              scan, every key and the token (PASS), then a unit with a key never\n"
        "              pressed (FAIL); screenshots, a log and the records' store\n"
        "  --soak MINUTES  run the soak instead on a private Xvfb: token presses, held\n"
        "              keys, replugs and calibrations, with memory, descriptors and threads\n"
        "              sampled (soak.csv) and checked for growth (default folder ./soak-out)\n"
        "  --out DIR   output folder (default ./demo-out)\n"
        "  --lang L    the texts' language, as LANGUAGE=L would choose it (en: English,\n"
        "              zh: Chinese, C: the texts as they stand); default: the user's locale\n"
        "  --sim EXE   token_service_sim to start (default: %s)\n"
        "  --record FILE  write what the receivers send, in hid-recorder's format\n"
        "\n"
        "The scenario's recording, for quillonctl replay: %s\n"
        "\n"
        "Exit status: 0 done (headless: every step showed what it should; soak: every\n"
        "verdict right and no growth), 1 otherwise.\n",
        KitRig::DefaultSimulator().c_str(), KitRig::DemoRecording().c_str());
}

// A private X server on a display number it picks itself (-displayfd), so nothing is
// guessed and no running display is disturbed.
class XvfbServer {
public:
    ~XvfbServer() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            int status = 0;
            while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }

    bool Start(const std::string& logFile, std::string* display, std::string* error) {
        int fds[2];
        if (::pipe(fds) != 0) {
            *error = std::string("pipe: ") + std::strerror(errno);
            return false;
        }
        ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        // Its own process group: a Ctrl-C in the terminal is for the demo, which ends
        // the server itself once the dialog is gone.
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attr, 0);
        std::vector<std::string> args = {"Xvfb",      "-displayfd", std::to_string(fds[1]),
                                         "-screen",   "0",          "1280x1024x24",
                                         "-nolisten", "tcp"};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int spawned = ::posix_spawnp(&m_pid, "Xvfb", &actions, &attr, argv.data(), environ);
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        if (spawned != 0) {
            ::close(fds[0]);
            m_pid = -1;
            *error = std::string("cannot start Xvfb: ") + std::strerror(spawned) +
                     " (scripts/bootstrap installs it)";
            return false;
        }
        // The number comes once the server accepts connections.
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        while (::poll(&p, 1, 20000) > 0) {
            char c = 0;
            if (::read(fds[0], &c, 1) != 1 || c == '\n')
                break;
            number.push_back(c);
        }
        ::close(fds[0]);
        if (number.empty()) {
            *error = "Xvfb did not start (see " + logFile + ")";
            return false;
        }
        *display = ":" + number;
        return true;
    }

private:
    pid_t m_pid = -1;
};

bool ParseArgs(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--headless") {
            options->headless = true;
        } else if (arg == "--station") {
            options->station = true;
        } else if (arg == "--lang" && i + 1 < argc) {
            // As a user's LANGUAGE would: the window, and the programs the demo starts.
            ::setenv("LANGUAGE", argv[++i], 1);
        } else if ((arg == "--out" || arg == "--sim") && i + 1 < argc) {
            (arg == "--out" ? options->out : options->simulator) = argv[++i];
            options->outGiven = options->outGiven || arg == "--out";
        } else if (arg == "--soak" && i + 1 < argc) {
            char* end = nullptr;
            const double minutes = std::strtod(argv[++i], &end);
            if (end == argv[i] || *end != '\0' || !(minutes > 0) || minutes > 7 * 24 * 60) {
                std::fprintf(stderr, "quillon-demo: --soak takes minutes, not %s\n", argv[i]);
                return false;
            }
            options->soakMinutes = minutes;
        } else if (arg == "--record" && i + 1 < argc) {
            options->record = fs::absolute(argv[++i]).string();
        } else if (arg == "--help" || arg == "-h") {
            PrintHelp();
            std::exit(0);
        } else {
            std::fprintf(stderr, "quillon-demo: unknown argument %s (see --help)\n", arg.c_str());
            return false;
        }
    }
    return true;
}

// What the kit's receivers send while the demo runs, recorded as quillonctl record
// does: alongside the window's receiver threads, on a thread of its own.
class KitRecorder {
public:
    ~KitRecorder() { Stop(); }

    bool Start(HidSystem& hid, const std::vector<std::string>& nodes, const std::string& file,
               std::string* error) {
        m_out = std::fopen(file.c_str(), "w");
        if (m_out == nullptr) {
            *error = file + ": " + std::strerror(errno);
            return false;
        }
        if (!m_recorder.Open(hid, nodes, error))
            return false;
        std::fputs("# quillon_demo --headless --record: the demo scenario on the virtual kit\n",
                   m_out);
        for (std::size_t i = 0; i < m_recorder.Devices().size(); ++i)
            std::fputs(FormatRecordedDevice(m_recorder.Devices()[i], i).c_str(), m_out);
        std::fflush(m_out);
        m_thread = std::thread([this] {
            std::optional<std::size_t> last;
            m_recorder.Run(
                m_stop.Fd(),
                [&](std::size_t device, std::uint64_t usec, std::span<const std::uint8_t> data) {
                    if (last != device)
                        std::fprintf(m_out, "D: %zu\n", device);
                    last = device;
                    std::fputs(FormatRecordedEvent(usec, data).c_str(), m_out);
                },
                [&](std::size_t device, std::uint64_t, int) {
                    std::fprintf(m_out, "# device %zu went away\n", device);
                });
        });
        return true;
    }
    void Stop() {
        m_stop.Signal();
        if (m_thread.joinable())
            m_thread.join();
        if (m_out != nullptr)
            std::fclose(m_out);
        m_out = nullptr;
    }

private:
    HidRecorder m_recorder;
    WakeSignal m_stop;
    std::FILE* m_out = nullptr;
    std::thread m_thread;
};

// Side by side where the screen allows it; the dialog moves over to make room.
void PlaceWindows(CMainDlg& dlg, RemoteWindow& remote) {
    const QRect screen = dlg.screen() ? dlg.screen()->availableGeometry() : QRect();
    const int gap = 16;
    const int remoteWidth = remote.frameGeometry().width();
    if (dlg.frameGeometry().right() + gap + remoteWidth > screen.right()) {
        const int width = dlg.frameGeometry().width() + gap + remoteWidth;
        dlg.move(screen.left() + std::max(0, (screen.width() - width) / 2), dlg.y());
    }
    const QRect d = dlg.frameGeometry();
    remote.move(std::min(d.right() + gap, std::max(screen.left(), screen.right() - remoteWidth)),
                d.top());
}

int RunDemo(int argc, char** argv) {
    Options options;
    if (!ParseArgs(argc, argv, &options))
        return 1;
    const bool soak = options.soakMinutes.has_value();
    if (soak && !options.outGiven)
        options.out = "soak-out";
    const char* display = std::getenv("DISPLAY");
    const bool headless =
        soak || options.station || options.headless || display == nullptr || *display == '\0';

    std::error_code ec;
    const fs::path out = fs::absolute(options.out);
    fs::create_directories(out, ec);
    if (ec) {
        std::fprintf(stderr, "quillon-demo: cannot create %s: %s\n", out.c_str(),
                     ec.message().c_str());
        return 1;
    }

    XvfbServer xvfb;
    if (headless) {
        std::string number;
        std::string error;
        if (!xvfb.Start((out / "xvfb.log").string(), &number, &error)) {
            std::fprintf(stderr, "quillon-demo: %s\n", error.c_str());
            return 1;
        }
        ::setenv("DISPLAY", number.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        ::unsetenv("WAYLAND_DISPLAY");
        std::printf("quillon-demo: %s on Xvfb %s; %s in %s\n",
                    soak              ? "soak"
                    : options.station ? "station scenario"
                                      : "headless scenario",
                    number.c_str(), soak ? "samples and log" : "screenshots and log", out.c_str());
    } else {
        std::printf("quillon-demo: on display %s; trace in %s\n", display, out.c_str());
    }
    std::fflush(stdout);

    // Trace lines (and Qt's messages) to a file, so the terminal shows the steps.
    const int traceFd = ::open((out / "trace.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (traceFd >= 0) {
        ::dup2(traceFd, STDERR_FILENO);
        ::close(traceFd);
    }

    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QApplication application(qtArgc, qtArgv);
    QApplication::setApplicationName("quillon");
    const std::string language = LoadTranslation();
    std::printf("quillon-demo: texts in %s\n",
                language.empty() ? "the source language" : language.c_str());

    // Served for the scenario: its end-of-line test is quillonctl, another process.
    KitRig rig({}, headless && !soak ? KitNodes::Served : KitNodes::InProcess);
    std::string error;
    std::FILE* log = std::fopen((out / (soak ? "soak.log" : "demo.log")).c_str(), "w");
    if (log == nullptr)
        log = stdout;
    std::optional<SoakRun> soakRun;
    if (soak) {
        soakRun.emplace(rig,
                        std::chrono::seconds(static_cast<long long>(*options.soakMinutes * 60)),
                        out.string(), log);
        if (!soakRun->AddTokens(&error)) {
            std::printf("quillon-demo: %s\n", error.c_str());
            return 1;
        }
    }
    if (!rig.Start(options.simulator, &error)) {
        std::printf("quillon-demo: %s\n", error.c_str());
        return 1;
    }
    if (options.station) {
        // Ctrl-C or kill: the scenario stops where it is and the window leaves by its
        // exit sequence, so the simulator and the kit's tree go as at a normal end.
        std::unique_ptr<QSocketNotifier> stop;
        if (InstallStopSignals(&error, RepeatedStopSignal::LetsTheExitFinish)) {
            stop = std::make_unique<QSocketNotifier>(StopSignalFd(), QSocketNotifier::Read);
            QObject::connect(stop.get(), &QSocketNotifier::activated, [] {
                TakeStopSignal();
                AbandonWaits();
            });
        }
        const int failures = RunStationScenario(rig, out.string(), log);
        std::fprintf(log, "%s: %d step(s) failed\n", failures == 0 ? "done" : "FAILED", failures);
        std::printf("quillon-demo: %s; screenshots and log in %s\n",
                    failures == 0 ? "station scenario done" : "station scenario FAILED",
                    out.c_str());
        if (log != stdout)
            std::fclose(log);
        rig.simulator.Stop();
        return failures == 0 ? 0 : 1;
    }
    KitRecorder recorder;
    if (!options.record.empty() && !recorder.Start(*rig.kit.Hid(),
                                                   {rig.kit.Bus().NodePath(VirtualKit::kIrNode),
                                                    rig.kit.Bus().NodePath(VirtualKit::kGameNode)},
                                                   options.record, &error)) {
        std::printf("quillon-demo: cannot record: %s\n", error.c_str());
        return 1;
    }
    const fs::path oldCwd = fs::current_path();
    // SN.ini is the demo's own: the fixed serial for the comparison is the token's.
    fs::current_path(rig.WorkDir());
    std::ofstream(rig.WorkDir() + "/SN.ini", std::ios::binary) << rig.remote.Serial();

    RecordingServiceControl services(rig.events, false);
    RemoteWindow remote(rig);
    ModalityRelaxer relaxer;
    application.installEventFilter(&relaxer);
    DemoScenario scenario(rig, remote, out.string(), log);
    if (soak)
        soakRun->InstallBoxHook();
    else if (headless)
        scenario.InstallBoxHook();

    QTimer::singleShot(0, [&] {
        CMainDlg* dlg = nullptr;
        if (!ProcessEventsUntil([&] { return (dlg = FindMainDialog()) != nullptr; },
                                std::chrono::seconds(20))) {
            return;
        }
        if (soak) {
            soakRun->Run(*dlg);
            return;
        }
        remote.show();
        PlaceWindows(*dlg, remote);
        if (headless)
            scenario.Run(*dlg);
    });
    CQuillonApp app(services, rig.Receivers());
    // Ctrl-C or kill: the scenario stops where it is and the program leaves through
    // Exit, so the simulator and the kit's tree go as they do at a normal end.
    app.ExitOnStopSignals([] { AbandonWaits(); });
    app.InitInstance();
    recorder.Stop();
    // The receivers are free now: the dialog's threads have ended, the recorder too.
    if (headless && !soak && !WaitsAbandoned())
        scenario.RunEndOfLine();
    remote.close();

    const int failures = soak ? soakRun->Finish() : scenario.Failures();
    if (headless && !soak) {
        std::fprintf(log, "%s: %d step(s) failed\n", failures == 0 ? "done" : "FAILED", failures);
        std::printf("quillon-demo: %s; screenshots and log in %s\n",
                    failures == 0 ? "scenario done" : "scenario FAILED", out.c_str());
    }
    if (log != stdout)
        std::fclose(log);
    fs::current_path(oldCwd);
    rig.simulator.Stop();
    fs::copy_file(rig.WorkDir() + "/token-sim.log", out / "token-sim.log",
                  fs::copy_options::overwrite_existing, ec);
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const int status = RunDemo(argc, argv);
    EndByStopSignal();
    return status;
}
