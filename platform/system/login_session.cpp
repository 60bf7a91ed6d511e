#include "platform/system/login_session.h"

#include "platform/system/system_bus.h"

namespace {

constexpr const char* kLogin = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSession = "org.freedesktop.login1.Session";
constexpr const char* kSeat = "org.freedesktop.login1.Seat";

// A Manager method with one argument that answers an object path.
bool CallForPath(BoundedBus& bus, const char* method, const char* types, const void* arg,
                 std::string* path) {
    sd_bus_message* call = nullptr;
    int r =
        sd_bus_message_new_method_call(bus.Get(), &call, kLogin, kManagerPath, kManager, method);
    if (r >= 0) {
        r = types[0] == 'u'
                ? sd_bus_message_append(call, types, *static_cast<const std::uint32_t*>(arg))
                : sd_bus_message_append(call, types, static_cast<const char*>(arg));
    }
    if (r < 0) {
        sd_bus_message_unref(call);
        return false;
    }
    sd_bus_message* reply = nullptr;
    const bool ok = bus.Call(call, &reply, method);
    sd_bus_message_unref(call);
    if (!ok)
        return false;
    const char* object = nullptr;
    r = sd_bus_message_read(reply, "o", &object);
    if (r > 0)
        *path = object;
    sd_bus_message_unref(reply);
    return r > 0;
}

bool ReadSession(BoundedBus& bus, const std::string& path, LoginSession* session) {
    session->path = path;
    std::string uid, seatPath, ignored;
    const char* p = path.c_str();
    if (!bus.GetString(kLogin, p, kSession, "Id", &session->id) ||
        !bus.GetBool(kLogin, p, kSession, "Active", &session->active) ||
        !bus.GetBool(kLogin, p, kSession, "Remote", &session->remote) ||
        !bus.GetPair(kLogin, p, kSession, "Seat", 's', &session->seat, &seatPath) ||
        !bus.GetPair(kLogin, p, kSession, "User", 'u', &uid, &ignored)) {
        return false;
    }
    session->uid = static_cast<unsigned>(std::stoul(uid));
    // Descriptive only: a logind without them still answers the question.
    bus.GetString(kLogin, p, kSession, "RemoteHost", &session->remoteHost);
    bus.GetString(kLogin, p, kSession, "Type", &session->type);
    bus.GetString(kLogin, p, kSession, "State", &session->state);
    return true;
}

}  // namespace

LoginReport QueryLoginSessions(pid_t pid, const std::string& seat,
                               std::chrono::milliseconds timeout) {
    LoginReport report;
    BoundedBus bus(timeout);
    if (!bus.Open()) {
        report.error = bus.Error();
        return report;
    }
    report.busOpen = true;

    std::string path;
    const std::uint32_t pid32 = static_cast<std::uint32_t>(pid);
    if (CallForPath(bus, "GetSessionByPID", "u", &pid32, &path)) {
        report.reached = true;
        LoginSession session;
        if (ReadSession(bus, path, &session))
            report.own = session;
        else
            report.ownError = bus.Error();
    } else {
        report.ownError = bus.Error();
        // A process outside every session gets an error from logind, which is an
        // answer; no answer at all means logind is not there.
        report.reached = report.ownError.find("org.freedesktop.login1.") != std::string::npos;
    }

    std::string seatPath;
    if (CallForPath(bus, "GetSeat", "s", seat.c_str(), &seatPath)) {
        report.reached = true;
        std::string id, sessionPath;
        if (!bus.GetPair(kLogin, seatPath.c_str(), kSeat, "ActiveSession", 's', &id,
                         &sessionPath)) {
            report.seatError = bus.Error();
        } else if (id.empty() || sessionPath == "/") {
            report.seatError = "no session is active on " + seat;
        } else {
            LoginSession session;
            if (ReadSession(bus, sessionPath, &session))
                report.seatActive = session;
            else
                report.seatError = bus.Error();
        }
    } else {
        report.seatError = bus.Error();
    }
    if (!report.reached)
        report.error = report.ownError;
    return report;
}
