#pragma once

// A private dbus-daemon with python3-dbusmock's systemd template on it, for tests of
// service control. The daemon has no service directories, so it never tries to
// start a real org.freedesktop.systemd1. Code under test finds the bus only through
// DBUS_SYSTEM_BUS_ADDRESS in this process's environment.

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <string>
#include <vector>

inline constexpr const char* kLogin = "org.freedesktop.login1";
inline constexpr const char* kLoginPath = "/org/freedesktop/login1";
inline constexpr const char* kPolkit = "org.freedesktop.PolicyKit1";
inline constexpr const char* kPolkitPath = "/org/freedesktop/PolicyKit1/Authority";

class SystemdMock {
public:
    SystemdMock() = default;
    ~SystemdMock();
    SystemdMock(const SystemdMock&) = delete;
    SystemdMock& operator=(const SystemdMock&) = delete;

    // Starts daemon and mock and waits until the mock owns its name. On failure
    // returns false and SkipReason() says why (tools missing, daemon would not start).
    bool Start();
    const std::string& SkipReason() const { return m_skipReason; }
    const std::string& Address() const { return m_address; }
    // A path in the test's own directory where nothing listens.
    std::string DeadAddress() const;

    // Forgets every unit and override; leaves the manager with the template's methods
    // plus a LoadUnit that, like systemd, answers unknown names with a "not-found" unit.
    void Reset();
    void AddUnit(const std::string& name, const std::string& activeState);
    void SetUnitProperty(const std::string& name, const std::string& property,
                         const std::string& value);
    // Drops the unit's object, so queries on it fail.
    void RemoveUnit(const std::string& name);
    std::string ActiveState(const std::string& name);
    // Replaces a Manager method with Python code (see dbusmock's AddMethod).
    void OverrideManagerMethod(const std::string& method, const std::string& inSig,
                               const std::string& outSig, const std::string& code);
    // String arguments of every call of a Manager method since the last Reset.
    std::vector<std::vector<std::string>> Calls(const std::string& method);

    // Another of dbusmock's templates ("logind", "polkitd") on the same bus, started
    // once; waits until it owns `busName`. False, with the reason in `why`, when it
    // will not.
    bool AddTemplate(const std::string& name, const std::string& busName, std::string* why);
    // logind and polkitd (kLogin, kPolkit), reset: no session, nothing allowed, and
    // no answer for an action nobody set.
    bool AddLoginAndPolkit(std::string* why);
    // A method of the org.freedesktop.DBus.Mock interface of `busName`'s object.
    void Mock(const std::string& busName, const std::string& path, const char* method,
              const char* types, ...);
    // The test's own connection to the bus.
    sd_bus* Bus() const { return m_bus; }

    static std::string UnitPath(const std::string& name);

private:
    bool StartDaemon();
    bool StartMock();
    pid_t SpawnTemplate(const std::string& name);
    bool WaitForName(const std::string& busName, pid_t& mock, const std::string& log);
    void CallMock(const char* path, const char* method, const char* types, ...);

    std::string m_dir;
    std::string m_address;
    std::string m_skipReason;
    pid_t m_daemon = -1;
    pid_t m_mock = -1;
    std::vector<std::pair<std::string, pid_t>> m_templates;
    sd_bus* m_bus = nullptr;
};

#include <gtest/gtest.h>

// Tests against one mock per test process, started on first use. Each test starts
// with no units and DBUS_SYSTEM_BUS_ADDRESS pointing at the private bus.
class SystemdMockTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Points DBUS_SYSTEM_BUS_ADDRESS somewhere for the rest of the test.
    static void UseBusAddress(const std::string& address);

    SystemdMock* m_mock = nullptr;
};
