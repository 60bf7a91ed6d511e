#include "platform/system/system_bus.h"

#include <time.h>

#include <cerrno>
#include <cstring>

namespace {

std::uint64_t MonotonicUsec() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

std::uint64_t Usec(std::chrono::milliseconds d) {
    return d.count() > 0 ? static_cast<std::uint64_t>(d.count()) * 1000u : 0;
}

}  // namespace

std::string DescribeBusError(const sd_bus_error* error, int r) {
    if (error != nullptr && sd_bus_error_is_set(error)) {
        std::string text = error->name;
        if (error->message != nullptr) {
            text += ": ";
            text += error->message;
        }
        return text;
    }
    return std::strerror(r < 0 ? -r : r);
}

sd_bus* OpenSystemBus(std::chrono::milliseconds timeout, std::string* error) {
    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r < 0) {
        *error = std::string("system bus: ") + std::strerror(-r);
        return nullptr;
    }
    const std::uint64_t budget = Usec(timeout);
    sd_bus_set_method_call_timeout(bus, budget);
    // Never a password prompt: a caller without the right gets a refusal.
    sd_bus_set_allow_interactive_authorization(bus, 0);

    const std::uint64_t deadline = MonotonicUsec() + budget;
    for (;;) {
        r = sd_bus_is_ready(bus);
        if (r > 0)
            return bus;
        if (r == 0)
            r = sd_bus_process(bus, nullptr);
        if (r < 0) {
            *error = std::string("system bus: ") + std::strerror(-r);
            break;
        }
        if (r > 0)
            continue;
        const std::uint64_t now = MonotonicUsec();
        if (now >= deadline) {
            *error = "system bus: no answer";
            break;
        }
        r = sd_bus_wait(bus, deadline - now);
        if (r < 0) {
            *error = std::string("system bus: ") + std::strerror(-r);
            break;
        }
    }
    // No flush: nothing waits to be sent, and a flush could block on a silent peer.
    sd_bus_close_unref(bus);
    return nullptr;
}

BoundedBus::BoundedBus(std::chrono::milliseconds budget)
    : m_deadline(MonotonicUsec() + Usec(budget)) {}

BoundedBus::~BoundedBus() {
    if (m_bus != nullptr)
        sd_bus_close_unref(m_bus);
}

std::uint64_t BoundedBus::RemainingUsec() const {
    const std::uint64_t now = MonotonicUsec();
    return now >= m_deadline ? 1 : m_deadline - now;
}

bool BoundedBus::Open() {
    m_bus = OpenSystemBus(std::chrono::milliseconds(RemainingUsec() / 1000u), &m_error);
    return m_bus != nullptr;
}

bool BoundedBus::Call(sd_bus_message* call, sd_bus_message** reply, const std::string& what) {
    if (m_bus == nullptr) {
        m_error = what + ": not connected";
        return false;
    }
    sd_bus_error error{};  // SD_BUS_ERROR_NULL: its C compound literal is not C++
    sd_bus_message* answer = nullptr;
    const int r = sd_bus_call(m_bus, call, RemainingUsec(), &error, &answer);
    if (r < 0) {
        // sd-bus reports its own time-out as a D-Bus error too.
        m_error =
            what + ": " +
            (r == -ETIMEDOUT ? std::string("no answer in time") : DescribeBusError(&error, r));
        sd_bus_error_free(&error);
        return false;
    }
    sd_bus_error_free(&error);
    if (reply != nullptr)
        *reply = answer;
    else
        sd_bus_message_unref(answer);
    return true;
}

bool BoundedBus::GetVariant(const char* destination, const char* path, const char* interface,
                            const char* property, const char* type, sd_bus_message** reply) {
    sd_bus_message* call = nullptr;
    int r = sd_bus_message_new_method_call(m_bus, &call, destination, path,
                                           "org.freedesktop.DBus.Properties", "Get");
    if (r >= 0)
        r = sd_bus_message_append(call, "ss", interface, property);
    if (r < 0) {
        sd_bus_message_unref(call);
        m_error = std::string(property) + ": " + std::strerror(-r);
        return false;
    }
    const bool ok = Call(call, reply, property);
    sd_bus_message_unref(call);
    if (!ok)
        return false;
    r = sd_bus_message_enter_container(*reply, 'v', type);
    if (r <= 0) {
        sd_bus_message_unref(*reply);
        *reply = nullptr;
        m_error = std::string(property) + ": not of type " + type;
        return false;
    }
    return true;
}

bool BoundedBus::GetString(const char* destination, const char* path, const char* interface,
                           const char* property, std::string* value) {
    sd_bus_message* reply = nullptr;
    if (!GetVariant(destination, path, interface, property, "s", &reply))
        return false;
    const char* text = nullptr;
    const int r = sd_bus_message_read(reply, "s", &text);
    if (r > 0)
        *value = text;
    sd_bus_message_unref(reply);
    if (r <= 0)
        m_error = std::string(property) + ": unreadable";
    return r > 0;
}

bool BoundedBus::GetBool(const char* destination, const char* path, const char* interface,
                         const char* property, bool* value) {
    sd_bus_message* reply = nullptr;
    if (!GetVariant(destination, path, interface, property, "b", &reply))
        return false;
    int b = 0;
    const int r = sd_bus_message_read(reply, "b", &b);
    if (r > 0)
        *value = b != 0;
    sd_bus_message_unref(reply);
    if (r <= 0)
        m_error = std::string(property) + ": unreadable";
    return r > 0;
}

bool BoundedBus::GetPair(const char* destination, const char* path, const char* interface,
                         const char* property, char firstType, std::string* first,
                         std::string* objectPath) {
    const char* type = firstType == 'u' ? "(uo)" : "(so)";
    sd_bus_message* reply = nullptr;
    if (!GetVariant(destination, path, interface, property, type, &reply))
        return false;
    int r = 0;
    const char* object = nullptr;
    if (firstType == 'u') {
        std::uint32_t number = 0;
        r = sd_bus_message_read(reply, "(uo)", &number, &object);
        if (r > 0)
            *first = std::to_string(number);
    } else {
        const char* text = nullptr;
        r = sd_bus_message_read(reply, "(so)", &text, &object);
        if (r > 0)
            *first = text;
    }
    if (r > 0)
        *objectPath = object;
    sd_bus_message_unref(reply);
    if (r <= 0)
        m_error = std::string(property) + ": unreadable";
    return r > 0;
}
