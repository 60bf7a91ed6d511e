#pragma once

// What logind (org.freedesktop.login1, over the system bus) says about the session a
// process runs in and about the session that is active on a seat. udev's uaccess
// gives a device's ACL to the user of the active session on the device's seat, and
// to no one else: a user logged in over SSH, in a session that is not in front, or
// in no session at all does not get it.
//
// Every round trip is bounded (BoundedBus), so a hung logind costs seconds at most.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

struct LoginSession {
    std::string id;
    std::string path;  // its object path
    unsigned uid = 0;
    std::string seat;  // "" when on none (a remote or background session)
    bool active = false;
    bool remote = false;
    std::string remoteHost;
    std::string type;   // tty, x11, wayland, ...
    std::string state;  // online, active, closing
};

struct LoginReport {
    bool busOpen = false;                    // the system bus took the connection
    bool reached = false;                    // logind answered at all
    std::string error;                       // why not (no bus, or no logind on it)
    std::optional<LoginSession> own;         // the session of the process asked about
    std::string ownError;                    // why it has none ("no session for PID 123")
    std::optional<LoginSession> seatActive;  // the active session on the seat asked about
    std::string seatError;                   // why that is not known
};

inline constexpr std::chrono::milliseconds kLoginQueryTimeout{3000};

// The session of `pid`, and the active session on `seat`, all within `timeout`.
LoginReport QueryLoginSessions(pid_t pid, const std::string& seat = "seat0",
                               std::chrono::milliseconds timeout = kLoginQueryTimeout);
