#include "tools/quillon_demo/kit_rig.h"

#include <spawn.h>
#include <sys/wait.h>
#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "decode/key_dispatcher.h"
#include "diagnosis/receiver_diagnosis.h"
#include "service/token_verification.h"

#ifndef QUILLON_TOKEN_SIM_EXE
#define QUILLON_TOKEN_SIM_EXE "token_service_sim"
#endif
#ifndef QUILLON_INSTALLED_TOKEN_SIM
#define QUILLON_INSTALLED_TOKEN_SIM "../libexec/quillon/token_service_sim"
#endif
#ifndef QUILLON_DEMO_RECORDING
#define QUILLON_DEMO_RECORDING "demo-scenario.hidrec"
#endif
#ifndef QUILLON_INSTALLED_DEMO_RECORDING
#define QUILLON_INSTALLED_DEMO_RECORDING "../share/quillon/demo-scenario.hidrec"
#endif

void RigEvents::Add(std::string event) {
    std::lock_guard lock(m_mutex);
    m_events.push_back(std::move(event));
}

std::vector<std::string> RigEvents::All() const {
    std::lock_guard lock(m_mutex);
    return m_events;
}

int RigEvents::IndexOf(const std::string& event) const {
    std::lock_guard lock(m_mutex);
    for (std::size_t i = 0; i < m_events.size(); ++i) {
        if (m_events[i] == event)
            return static_cast<int>(i);
    }
    return -1;
}

IServiceControl::Open RecordingServiceControl::OpenService(const std::string& unit) {
    m_events.Add("service open " + unit);
    return Open::Ok;
}

bool RecordingServiceControl::Stop() {
    m_events.Add("service stop");
    m_running = false;
    return true;
}

bool RecordingServiceControl::Start() {
    m_events.Add("service start");
    m_running = true;
    return true;
}

std::string InstalledOrBuilt(const std::string& programDir, const std::string& installed,
                             const std::string& built) {
    if (programDir.empty())
        return built;
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::path(programDir) / installed;
    if (!std::filesystem::is_regular_file(path, ec))
        return built;
    return path.lexically_normal().string();
}

std::string ProgramDir() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.parent_path().string();
}

std::string KitRig::DefaultSimulator() {
    return InstalledOrBuilt(ProgramDir(), QUILLON_INSTALLED_TOKEN_SIM, QUILLON_TOKEN_SIM_EXE);
}

std::string KitRig::DemoRecording() {
    return InstalledOrBuilt(ProgramDir(), QUILLON_INSTALLED_DEMO_RECORDING, QUILLON_DEMO_RECORDING);
}

KitRig::KitRig(VirtualRemote::Clock clock, KitNodes nodes)
    : kit(nodes),
      remote(kit, DemoToken(), std::move(clock)),
      m_workDir(kit.Bus().TempRoot() + "/work") {
    std::filesystem::create_directories(m_workDir);
}

KitRig::~KitRig() {
    SetVerificationEndpoint("");
    // Before the kit's tree, where its state file lives, goes.
    simulator.Stop();
}

bool KitRig::Start(const std::string& simulatorExe, std::string* error) {
    kit.PlugIr();
    kit.PlugGame();
    if (!simulator.Start(simulatorExe, StateFile(), m_workDir + "/token-sim.log",
                         std::chrono::seconds(20), error)) {
        return false;
    }
    SetVerificationEndpoint(simulator.Endpoint());
    return true;
}

CMainDlg::Receivers KitRig::Receivers() {
    return {[this](IMainDialog* dialog) {
                const unsigned result = RunIrReceiverThread(&monitor, dialog);
                events.Add("HID end");
                return result;
            },
            [this](IMainDialog* dialog) {
                const unsigned result = RunGameReceiverThread(&monitor, dialog);
                events.Add("HIDForGame end");
                return result;
            },
            {},
            [this](bool ir) { return ReceiverTroubleReason(*kit.Hid(), ir); }};
}

CMainDlg* FindMainDialog() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* dlg = qobject_cast<CMainDlg*>(w); dlg != nullptr && dlg->isVisible())
            return dlg;
    }
    return nullptr;
}

QString ControlText(const QWidget* root, const char* objectName) {
    if (root == nullptr)
        return {};
    if (const auto* label = root->findChild<QLabel*>(objectName))
        return label->text();
    if (const auto* edit = root->findChild<QLineEdit*>(objectName))
        return edit->text();
    return {};
}

extern char** environ;

namespace {

std::atomic<bool> g_waitsAbandoned{false};

}  // namespace

void AbandonWaits() {
    g_waitsAbandoned = true;
}

bool WaitsAbandoned() {
    return g_waitsAbandoned;
}

bool ProcessEventsUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end || g_waitsAbandoned)
            return false;
        // Sleeps until an event comes or 5 ms pass, so the wait does not spin.
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

long ProcSelfStatus(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0)
            return std::atol(line.c_str() + prefix.size());
    }
    return -1;
}

bool RunCommand(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
