#include "platform/system/service_control.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/system/system_bus.h"

IServiceControl::~IServiceControl() = default;

namespace {

constexpr const char* kDestination = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnitInterface = "org.freedesktop.systemd1.Unit";

class ScopedError {
public:
    ScopedError() = default;
    ~ScopedError() { sd_bus_error_free(&m_error); }
    ScopedError(const ScopedError&) = delete;
    ScopedError& operator=(const ScopedError&) = delete;

    sd_bus_error* get() { return &m_error; }
    std::string Describe(int r) const {
        if (sd_bus_error_is_set(&m_error)) {
            std::string text = m_error.name;
            if (m_error.message != nullptr) {
                text += ": ";
                text += m_error.message;
            }
            return text;
        }
        return std::strerror(-r);
    }

private:
    sd_bus_error m_error{};  // SD_BUS_ERROR_NULL: its C compound literal is not C++
};

class SystemdServiceControl final : public IServiceControl {
public:
    explicit SystemdServiceControl(std::chrono::milliseconds timeout)
        : m_timeoutUsec(static_cast<std::uint64_t>(timeout.count()) * 1000u) {}
    ~SystemdServiceControl() override { Close(); }

    Open OpenService(const std::string& unit) override {
        Close();
        if (!Connect()) {
            return Open::NoManager;
        }
        sd_bus_message* reply = nullptr;
        if (!CallManager("LoadUnit", unit.c_str(), nullptr, &reply)) {
            return Open::NoService;
        }
        const char* path = nullptr;
        int r = sd_bus_message_read(reply, "o", &path);
        if (r < 0) {
            sd_bus_message_unref(reply);
            m_lastError = std::string("LoadUnit reply: ") + std::strerror(-r);
            return Open::NoService;
        }
        m_path = path;
        sd_bus_message_unref(reply);

        std::string loadState;
        if (!GetUnitProperty("LoadState", loadState)) {
            return Open::NoService;
        }
        if (loadState != "loaded") {
            m_lastError = unit + " LoadState is " + loadState;
            return Open::NoService;
        }
        m_unit = unit;
        m_lastError.clear();
        return Open::Ok;
    }

    bool IsStopped() override {
        std::string state;
        if (!GetUnitProperty("ActiveState", state)) {
            return false;
        }
        return state == "inactive" || state == "failed";
    }

    bool Stop() override { return RequestJob("StopUnit"); }
    bool Start() override { return RequestJob("StartUnit"); }

    void Close() override {
        if (m_bus != nullptr) {
            // No flush: every call waited for its reply, so nothing is left to send,
            // and a flush could block on a peer that stopped reading.
            m_bus = sd_bus_close_unref(m_bus);
        }
        m_unit.clear();
        m_path.clear();
    }

    std::string LastError() const override { return m_lastError; }

private:
    bool Connect() {
        m_bus = OpenSystemBus(
            std::chrono::milliseconds(static_cast<std::int64_t>(m_timeoutUsec / 1000u)),
            &m_lastError);
        return m_bus != nullptr;
    }

    // Calls a Manager method with one or two string arguments; on success the
    // caller owns *reply.
    bool CallManager(const char* method, const char* arg1, const char* arg2,
                     sd_bus_message** reply) {
        if (m_bus == nullptr) {
            m_lastError = "not open";
            return false;
        }
        sd_bus_message* call = nullptr;
        int r = sd_bus_message_new_method_call(m_bus, &call, kDestination, kManagerPath,
                                               kManagerInterface, method);
        if (r >= 0) {
            r = arg2 != nullptr ? sd_bus_message_append(call, "ss", arg1, arg2)
                                : sd_bus_message_append(call, "s", arg1);
        }
        ScopedError error;
        if (r >= 0) {
            r = sd_bus_call(m_bus, call, m_timeoutUsec, error.get(), reply);
        }
        sd_bus_message_unref(call);
        if (r < 0) {
            m_lastError = std::string(method) + ": " + error.Describe(r);
            return false;
        }
        m_lastError.clear();
        return true;
    }

    bool GetUnitProperty(const char* name, std::string& value) {
        if (m_bus == nullptr || m_path.empty()) {
            m_lastError = "not open";
            return false;
        }
        sd_bus_message* call = nullptr;
        sd_bus_message* reply = nullptr;
        ScopedError error;
        int r = sd_bus_message_new_method_call(m_bus, &call, kDestination, m_path.c_str(),
                                               "org.freedesktop.DBus.Properties", "Get");
        if (r >= 0) {
            r = sd_bus_message_append(call, "ss", kUnitInterface, name);
        }
        if (r >= 0) {
            r = sd_bus_call(m_bus, call, m_timeoutUsec, error.get(), &reply);
        }
        sd_bus_message_unref(call);
        const char* text = nullptr;
        if (r >= 0) {
            r = sd_bus_message_read(reply, "v", "s", &text);
        }
        if (r >= 0) {
            value = text;
        }
        sd_bus_message_unref(reply);
        if (r < 0) {
            m_lastError = std::string(name) + ": " + error.Describe(r);
            return false;
        }
        m_lastError.clear();
        return true;
    }

    bool RequestJob(const char* method) {
        if (m_unit.empty()) {
            m_lastError = "not open";
            return false;
        }
        sd_bus_message* reply = nullptr;
        if (!CallManager(method, m_unit.c_str(), "replace", &reply)) {
            return false;
        }
        const char* job = nullptr;
        const int r = sd_bus_message_read(reply, "o", &job);
        sd_bus_message_unref(reply);
        if (r < 0) {
            m_lastError = std::string(method) + " reply: " + std::strerror(-r);
            return false;
        }
        return true;
    }

    const std::uint64_t m_timeoutUsec;
    sd_bus* m_bus = nullptr;
    std::string m_unit;
    std::string m_path;
    std::string m_lastError;
};

}  // namespace

std::unique_ptr<IServiceControl> MakeSystemdServiceControl(std::chrono::milliseconds timeout) {
    return std::make_unique<SystemdServiceControl>(timeout);
}
