#pragma once

// What the demo, the end-to-end tests and their benchmark wire the real program to:
// the virtual kit with both receivers plugged, a receiver monitor over its HID tree,
// the virtual remote, the token-service simulator as its own process (the dialogs'
// endpoint is set to it), and a service manager that only records what it is asked.
// Nothing here touches a real device, a real systemd unit or the network beyond
// 127.0.0.1.
//
// The rig must outlive the dialog it is wired to: the receiver threads use its
// monitor until the dialog's exit has joined them.

#include <QString>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/main_dlg.h"
#include "platform/system/service_control.h"
#include "receiver/receiver_monitor.h"
#include "tools/virtual_kit/token_service_process.h"
#include "tools/virtual_kit/virtual_kit.h"
#include "tools/virtual_kit/virtual_remote.h"

class QWidget;

// An ordered, thread-safe list of what happened ("HID end", "service start", ...).
class RigEvents {
public:
    void Add(std::string event);
    std::vector<std::string> All() const;
    // Position of the first `event`, or -1.
    int IndexOf(const std::string& event) const;

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_events;
};

// Records every request; stops and starts nothing. `running`: the unit is installed
// and running, so start asks to stop it (and shows the hint) and exit starts it again.
class RecordingServiceControl : public IServiceControl {
public:
    RecordingServiceControl(RigEvents& events, bool running)
        : m_events(events), m_running(running) {}
    Open OpenService(const std::string& unit) override;
    bool IsStopped() override { return !m_running; }
    bool Stop() override;
    bool Start() override;
    void Close() override {}
    std::string LastError() const override { return {}; }

private:
    RigEvents& m_events;
    bool m_running;
};

class KitRig {
public:
    // The simulator: the package's when the program runs from where the package puts
    // it, else the one built alongside.
    static std::string DefaultSimulator();
    // The recording of the demo's scenario (quillonctl replay plays it), found the same way.
    static std::string DemoRecording();

    // `clock` drives the token's clock (empty: the system clock). `nodes` Served: other
    // processes (quillonctl) can open the receivers too, pointed at the kit's tree.
    explicit KitRig(VirtualRemote::Clock clock = {}, KitNodes nodes = KitNodes::InProcess);
    ~KitRig();
    KitRig(const KitRig&) = delete;
    KitRig& operator=(const KitRig&) = delete;

    // Plugs both receivers, starts the simulator (state and log in WorkDir()) and
    // points the verification and calibration endpoint at it.
    bool Start(const std::string& simulator, std::string* error);

    // Receiver thread bodies on this rig's monitor; each records "<name> end" when it
    // returns.
    CMainDlg::Receivers Receivers();

    // A directory of the rig's own, removed with it; the demo and the tests run there
    // so SN.ini is theirs.
    const std::string& WorkDir() const { return m_workDir; }
    // The simulator's token table; tokens added before Start() are served too.
    std::string StateFile() const { return m_workDir + "/token-state.txt"; }

    VirtualKit kit;
    ReceiverMonitor monitor{kit.Hid()};
    VirtualRemote remote;
    TokenServiceProcess simulator;
    RigEvents events;

private:
    std::string m_workDir;
};

// `installed` (relative to `programDir`) where that file exists, else `built`: the
// installed program finds the files installed with it, the built one those of its tree.
std::string InstalledOrBuilt(const std::string& programDir, const std::string& installed,
                             const std::string& built);
// The directory of the running program (/proc/self/exe); empty when unknown.
std::string ProgramDir();

// The main dialog among the top-level widgets, once it is shown; null before.
CMainDlg* FindMainDialog();
// The text of the label or line edit with that object name (as the .ui names it).
QString ControlText(const QWidget* root, const char* objectName);
// Processes events until `pred` holds; false when `timeout` passed first, or at once
// after AbandonWaits().
bool ProcessEventsUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);
// Makes every ProcessEventsUntil give up, for good: the program is leaving.
void AbandonWaits();
bool WaitsAbandoned();
// A field of /proc/self/status as a number ("VmRSS" in kB, "Threads"); -1 when absent.
long ProcSelfStatus(const char* field);
// Runs a command (argv[0] a path) and waits for it; false unless it exited with 0.
bool RunCommand(std::vector<std::string> args);
