#pragma once

// The service manager as the application sees it: open one unit, ask whether it is
// stopped, ask it to stop or start. The systemd implementation talks to
// org.freedesktop.systemd1 on the system bus; tests substitute their own.
//
// Not thread-safe: one object is used from one thread at a time.

#include <chrono>
#include <memory>
#include <string>

// The maker's HID service, which holds the receivers while it runs.
inline constexpr const char* kKeywardenUnit = "Keywarden.service";

class IServiceControl {
public:
    virtual ~IServiceControl();

    // NoManager: no connection to the manager (no system bus, or it did not answer).
    // NoService: the unit is unknown, not loaded, or the manager refused to say.
    enum class Open { Ok, NoManager, NoService };

    // Connects afresh and looks the unit up; drops whatever an earlier call opened.
    // systemd: LoadUnit, then LoadState must be "loaded" (an installed unit that is
    // stopped may have been unloaded, so GetUnit alone would miss it).
    virtual Open OpenService(const std::string& unit) = 0;
    // Stopped means ActiveState "inactive" or "failed". A failed query counts as not
    // stopped, so a service that can be opened is always asked to stop.
    virtual bool IsStopped() = 0;
    // True when the manager accepted the request (queued a job); it does not wait for
    // the unit to reach the new state.
    virtual bool Stop() = 0;
    virtual bool Start() = 0;
    // Drops the connection; OpenService must be called again before further use.
    virtual void Close() = 0;
    // Why the last failed call failed, for trace lines; empty after a success.
    virtual std::string LastError() const = 0;
};

// systemd over sd-bus. Connects with sd_bus_open_system, which honours
// DBUS_SYSTEM_BUS_ADDRESS. Every bus round trip, the connection included, is bounded
// by `timeout`, so a hung bus delays start or exit by seconds at most.
// Requests are sent without interactive authorisation: a caller without the right
// to manage the unit gets a refusal rather than a password prompt.
inline constexpr std::chrono::milliseconds kServiceCallTimeout{3000};
std::unique_ptr<IServiceControl> MakeSystemdServiceControl(
    std::chrono::milliseconds timeout = kServiceCallTimeout);
