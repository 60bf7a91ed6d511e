#include "tests/support/systemd_mock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace {

constexpr const char* kDaemon = "/usr/bin/dbus-daemon";
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kName = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManager = "org.freedesktop.systemd1.Manager";
constexpr const char* kMock = "org.freedesktop.DBus.Mock";
constexpr std::uint64_t kStartupUsec = 10'000'000;

std::uint64_t NowUsec() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

// Runs argv with stdout and stderr sent to `log`; extra "NAME=value" entries are
// added to (and override) this process's environment.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& log,
            const std::vector<std::string>& env, int keepFd = -1) {
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const auto& extra : env) {
            if (entry.substr(0, entry.find('=') + 1) == extra.substr(0, extra.find('=') + 1)) {
                replaced = true;
            }
        }
        if (!replaced) {
            envStrings.push_back(entry);
        }
    }
    envStrings.insert(envStrings.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : envStrings) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    // fork rather than posix_spawn for PR_SET_PDEATHSIG: a crashed test must not leave
    // a daemon behind. Only async-signal-safe calls between fork and exec.
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) {
            _exit(127);
        }
        if (keepFd >= 0) {
            fcntl(keepFd, F_SETFD, 0);
        }
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    return pid;
}

void Kill(pid_t& pid) {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
}

std::string ReadFile(const std::string& path) {
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return text;
    }
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return text;
}

}  // namespace

SystemdMock::~SystemdMock() {
    if (m_bus != nullptr) {
        sd_bus_close_unref(m_bus);
    }
    for (auto& [name, pid] : m_templates) {
        Kill(pid);
    }
    Kill(m_mock);
    Kill(m_daemon);
    if (!m_dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
}

bool SystemdMock::Start() {
    if (access(kDaemon, X_OK) != 0) {
        m_skipReason = std::string(kDaemon) + " not installed (Debian package dbus-daemon)";
        return false;
    }
    if (access(kPython, X_OK) != 0 ||
        std::system("/usr/bin/python3 -c 'import dbusmock.templates.systemd' 2>/dev/null") != 0) {
        m_skipReason = "python3-dbusmock with its systemd template is not importable by " +
                       std::string(kPython);
        return false;
    }
    char dir[] = "/tmp/quillon-bus-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        m_skipReason = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    m_dir = dir;
    return StartDaemon() && StartMock() && WaitForName(kName, m_mock, m_dir + "/systemd.log");
}

pid_t SystemdMock::SpawnTemplate(const std::string& name) {
    return Spawn({kPython, "-m", "dbusmock", "--template", name}, m_dir + "/" + name + ".log",
                 {"DBUS_SYSTEM_BUS_ADDRESS=" + m_address});
}

bool SystemdMock::AddLoginAndPolkit(std::string* why) {
    if (!AddTemplate("logind", kLogin, why) || !AddTemplate("polkitd", kPolkit, why))
        return false;
    Mock(kLogin, kLoginPath, "Reset", "");
    Mock(kPolkit, kPolkitPath, "SetAllowed", "as", 0);
    Mock(kPolkit, kPolkitPath, "AllowUnknown", "b", 0);
    return true;
}

bool SystemdMock::AddTemplate(const std::string& name, const std::string& busName,
                              std::string* why) {
    for (const auto& [started, pid] : m_templates) {
        if (started == name) {
            if (pid <= 0) {
                *why = "dbusmock's " + name + " template did not start";
            }
            return pid > 0;
        }
    }
    if (!m_skipReason.empty() || m_bus == nullptr) {
        *why = m_skipReason;
        return false;
    }
    const std::string check =
        "/usr/bin/python3 -c 'import dbusmock.templates." + name + "' 2>/dev/null";
    if (std::system(check.c_str()) != 0) {
        *why = "python3-dbusmock has no " + name + " template";
        return false;
    }
    // WaitForName reports through m_skipReason; keep it for the systemd tests.
    const std::string saved = m_skipReason;
    pid_t pid = SpawnTemplate(name);
    const bool ok = pid > 0 && WaitForName(busName, pid, m_dir + "/" + name + ".log");
    if (!ok) {
        *why = m_skipReason;
    }
    m_skipReason = saved;
    m_templates.emplace_back(name, ok ? pid : -1);
    return ok;
}

void SystemdMock::Mock(const std::string& busName, const std::string& path, const char* method,
                       const char* types, ...) {
    sd_bus_error error{};  // SD_BUS_ERROR_NULL: its C compound literal is not C++
    va_list ap;
    va_start(ap, types);
    const int r = sd_bus_call_methodv(m_bus, busName.c_str(), path.c_str(), kMock, method, &error,
                                      nullptr, types, ap);
    va_end(ap);
    if (r < 0) {
        ADD_FAILURE() << busName << " mock " << method << ": "
                      << (error.message != nullptr ? error.message : std::strerror(-r));
    }
    sd_bus_error_free(&error);
}

std::string SystemdMock::DeadAddress() const {
    return "unix:path=" + m_dir + "/nobody-listens";
}

bool SystemdMock::StartDaemon() {
    const std::string config = m_dir + "/bus.conf";
    std::ofstream(config)
        << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <listen>unix:tmpdir=)"
        << m_dir << R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        m_skipReason = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    m_daemon = Spawn({kDaemon, "--config-file=" + config, "--nofork", "--nopidfile",
                      "--print-address=" + std::to_string(fds[1])},
                     m_dir + "/daemon.log", {}, fds[1]);
    close(fds[1]);
    std::string line;
    const std::uint64_t deadline = NowUsec() + kStartupUsec;
    while (m_daemon > 0 && line.find('\n') == std::string::npos) {
        const std::uint64_t now = NowUsec();
        pollfd p{fds[0], POLLIN, 0};
        if (now >= deadline || poll(&p, 1, static_cast<int>((deadline - now) / 1000)) <= 0) {
            break;
        }
        char buffer[256];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        line.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (line.find('\n') == std::string::npos) {
        m_skipReason = "dbus-daemon gave no address: " + ReadFile(m_dir + "/daemon.log");
        return false;
    }
    m_address = line.substr(0, line.find('\n'));
    return true;
}

bool SystemdMock::StartMock() {
    m_mock = SpawnTemplate("systemd");
    if (m_mock <= 0) {
        m_skipReason = "could not run /usr/bin/python3 -m dbusmock";
        return false;
    }
    int r = sd_bus_new(&m_bus);
    if (r >= 0) {
        r = sd_bus_set_address(m_bus, m_address.c_str());
    }
    if (r >= 0) {
        r = sd_bus_set_bus_client(m_bus, 1);
    }
    if (r >= 0) {
        r = sd_bus_start(m_bus);
    }
    if (r < 0) {
        m_skipReason =
            std::string("test client cannot reach the private bus: ") + std::strerror(-r);
        return false;
    }
    return true;
}

// Event-driven: watch NameOwnerChanged, then ask once in case the name came first.
bool SystemdMock::WaitForName(const std::string& busName, pid_t& mock, const std::string& log) {
    const std::string match = std::string(
                                  "type='signal',sender='org.freedesktop.DBus',"
                                  "member='NameOwnerChanged',arg0='") +
                              busName + "'";
    bool appeared = false;
    sd_bus_slot* slot = nullptr;
    sd_bus_add_match(
        m_bus, &slot, match.c_str(),
        [](sd_bus_message*, void* flag, sd_bus_error*) {
            *static_cast<bool*>(flag) = true;
            return 0;
        },
        &appeared);
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(m_bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                           busName.c_str()) >= 0) {
        int has = 0;
        sd_bus_message_read(reply, "b", &has);
        appeared = appeared || has != 0;
        sd_bus_message_unref(reply);
    }
    const std::uint64_t deadline = NowUsec() + kStartupUsec;
    while (!appeared && NowUsec() < deadline) {
        if (waitpid(mock, nullptr, WNOHANG) == mock) {
            mock = -1;
            break;
        }
        if (sd_bus_process(m_bus, nullptr) > 0) {
            continue;
        }
        // Short slices only so that a mock that dies is noticed.
        sd_bus_wait(m_bus, 100'000);
    }
    sd_bus_slot_unref(slot);
    if (!appeared) {
        m_skipReason = "dbusmock did not claim " + busName + ": " + ReadFile(log);
    }
    return appeared;
}

void SystemdMock::CallMock(const char* path, const char* method, const char* types, ...) {
    sd_bus_error error{};
    va_list ap;
    va_start(ap, types);
    const int r =
        sd_bus_call_methodv(m_bus, kName, path, kMock, method, &error, nullptr, types, ap);
    va_end(ap);
    if (r < 0) {
        ADD_FAILURE() << "mock " << method << ": "
                      << (error.message != nullptr ? error.message : std::strerror(-r));
    }
    sd_bus_error_free(&error);
}

std::string SystemdMock::UnitPath(const std::string& name) {
    std::string escaped = name;
    for (char& c : escaped) {
        if (c == '.' || c == '-') {
            c = '_';
        }
    }
    return std::string(kManagerPath) + "/unit/" + escaped;
}

void SystemdMock::Reset() {
    CallMock(kManagerPath, "Reset", "");
    OverrideManagerMethod("LoadUnit", "s", "o", R"(
if args[0] in self.units:
    ret = self.units[args[0]]
else:
    ret = '/org/freedesktop/systemd1/unit/not_found'
    if ret not in objects:
        self.AddObject(ret, 'org.freedesktop.systemd1.Unit',
                       {'Id': args[0], 'LoadState': 'not-found', 'ActiveState': 'inactive'}, [])
)");
    CallMock(kManagerPath, "ClearCalls", "");
}

void SystemdMock::AddUnit(const std::string& name, const std::string& activeState) {
    CallMock(kManagerPath, "AddMockUnit", "s", name.c_str());
    SetUnitProperty(name, "ActiveState", activeState);
}

void SystemdMock::SetUnitProperty(const std::string& name, const std::string& property,
                                  const std::string& value) {
    CallMock(UnitPath(name).c_str(), "UpdateProperties", "sa{sv}", "org.freedesktop.systemd1.Unit",
             1, property.c_str(), "s", value.c_str());
}

void SystemdMock::RemoveUnit(const std::string& name) {
    CallMock(kManagerPath, "RemoveObject", "o", UnitPath(name).c_str());
}

std::string SystemdMock::ActiveState(const std::string& name) {
    char* value = nullptr;
    sd_bus_error error{};
    const int r =
        sd_bus_get_property_string(m_bus, kName, UnitPath(name).c_str(),
                                   "org.freedesktop.systemd1.Unit", "ActiveState", &error, &value);
    sd_bus_error_free(&error);
    std::string result = r >= 0 ? value : "<query failed>";
    free(value);
    return result;
}

void SystemdMock::OverrideManagerMethod(const std::string& method, const std::string& inSig,
                                        const std::string& outSig, const std::string& code) {
    CallMock(kManagerPath, "AddMethod", "sssss", kManager, method.c_str(), inSig.c_str(),
             outSig.c_str(), code.c_str());
}

std::vector<std::vector<std::string>> SystemdMock::Calls(const std::string& method) {
    std::vector<std::vector<std::string>> calls;
    sd_bus_message* reply = nullptr;
    sd_bus_error error{};
    int r = sd_bus_call_method(m_bus, kName, kManagerPath, kMock, "GetMethodCalls", &error, &reply,
                               "s", method.c_str());
    sd_bus_error_free(&error);
    if (r < 0) {
        ADD_FAILURE() << "GetMethodCalls " << method << ": " << std::strerror(-r);
        return calls;
    }
    sd_bus_message_enter_container(reply, 'a', "(tav)");
    while (sd_bus_message_enter_container(reply, 'r', "tav") > 0) {
        std::uint64_t when = 0;
        sd_bus_message_read(reply, "t", &when);
        sd_bus_message_enter_container(reply, 'a', "v");
        std::vector<std::string> args;
        const char* contents = nullptr;
        while (sd_bus_message_peek_type(reply, nullptr, &contents) > 0) {
            if (contents != nullptr && std::strcmp(contents, "s") == 0) {
                const char* text = nullptr;
                sd_bus_message_read(reply, "v", "s", &text);
                args.emplace_back(text);
            } else {
                sd_bus_message_skip(reply, "v");
                args.emplace_back("<not a string>");
            }
        }
        sd_bus_message_exit_container(reply);
        sd_bus_message_exit_container(reply);
        calls.push_back(std::move(args));
    }
    sd_bus_message_unref(reply);
    return calls;
}

namespace {

SystemdMock* SharedMock() {
    static SystemdMock* mock = [] {
        static SystemdMock instance;
        instance.Start();
        return &instance;
    }();
    return mock;
}

}  // namespace

void SystemdMockTest::SetUp() {
    SystemdMock* mock = SharedMock();
    if (!mock->SkipReason().empty()) {
        GTEST_SKIP() << mock->SkipReason();
    }
    m_mock = mock;
    m_mock->Reset();
    UseBusAddress(m_mock->Address());
}

void SystemdMockTest::TearDown() {
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

void SystemdMockTest::UseBusAddress(const std::string& address) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
}
