#pragma once

// The system bus with every round trip bounded in time: a bus that accepts the
// connection and never answers (or a service that hangs) costs a caller seconds at
// most, never sd-bus's own time-outs of tens of seconds. For the queries of the
// service manager, logind and polkit. Honours DBUS_SYSTEM_BUS_ADDRESS, so tests put a
// private bus in its place.
//
// One object is used by one thread at a time.

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <string>

// The handshake (authentication, Hello) under our own deadline. Returns the bus, or
// nullptr with the reason in `error` ("system bus: no answer").
sd_bus* OpenSystemBus(std::chrono::milliseconds timeout, std::string* error);

// "name: message" of a D-Bus error, else the errno text of `r`.
std::string DescribeBusError(const sd_bus_error* error, int r);

// A connection whose calls together end by one deadline.
class BoundedBus {
public:
    explicit BoundedBus(std::chrono::milliseconds budget);
    ~BoundedBus();
    BoundedBus(const BoundedBus&) = delete;
    BoundedBus& operator=(const BoundedBus&) = delete;

    // Connects; false with the reason in Error().
    bool Open();
    sd_bus* Get() const { return m_bus; }
    const std::string& Error() const { return m_error; }

    // One method call within what is left of the budget. On success the caller owns
    // *reply (may be null when not wanted); on failure Error() says why, prefixed with
    // `what`.
    bool Call(sd_bus_message* call, sd_bus_message** reply, const std::string& what);
    // One property of the given type; false with the reason in Error().
    bool GetString(const char* destination, const char* path, const char* interface,
                   const char* property, std::string* value);
    bool GetBool(const char* destination, const char* path, const char* interface,
                 const char* property, bool* value);
    // A (so) or (uo) property (`firstType` 's' or 'u'): its first member as text and
    // its object path.
    bool GetPair(const char* destination, const char* path, const char* interface,
                 const char* property, char firstType, std::string* first, std::string* objectPath);

private:
    bool GetVariant(const char* destination, const char* path, const char* interface,
                    const char* property, const char* type, sd_bus_message** reply);
    std::uint64_t RemainingUsec() const;

    sd_bus* m_bus = nullptr;
    std::uint64_t m_deadline = 0;
    std::string m_error;
};
