#include "platform/system/polkit_check.h"

#include "platform/system/system_bus.h"

PolkitAnswer CheckPolkitAuthorization(
    const std::string& action, const std::vector<std::pair<std::string, std::string>>& details,
    std::chrono::milliseconds timeout) {
    PolkitAnswer answer;
    BoundedBus bus(timeout);
    if (!bus.Open()) {
        answer.error = bus.Error();
        return answer;
    }
    // The subject is this process's own connection, as the service manager sees the
    // caller; polkit finds the process and its user from it.
    const char* unique = nullptr;
    if (sd_bus_get_unique_name(bus.Get(), &unique) < 0) {
        answer.error = "no unique bus name";
        return answer;
    }
    sd_bus_message* call = nullptr;
    int r = sd_bus_message_new_method_call(
        bus.Get(), &call, "org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
        "org.freedesktop.PolicyKit1.Authority", "CheckAuthorization");
    if (r >= 0)
        r = sd_bus_message_append(call, "(sa{sv})s", "system-bus-name", 1, "name", "s", unique,
                                  action.c_str());
    if (r >= 0)
        r = sd_bus_message_open_container(call, 'a', "{ss}");
    for (const auto& [key, value] : details) {
        if (r >= 0)
            r = sd_bus_message_append(call, "{ss}", key.c_str(), value.c_str());
    }
    if (r >= 0)
        r = sd_bus_message_close_container(call);
    if (r >= 0)
        r = sd_bus_message_append(call, "us", 0u, "");
    if (r < 0) {
        sd_bus_message_unref(call);
        answer.error = "CheckAuthorization: " + DescribeBusError(nullptr, r);
        return answer;
    }
    sd_bus_message* reply = nullptr;
    const bool ok = bus.Call(call, &reply, "CheckAuthorization");
    sd_bus_message_unref(call);
    if (!ok) {
        answer.error = bus.Error();
        return answer;
    }
    int authorized = 0;
    int challenge = 0;
    r = sd_bus_message_enter_container(reply, 'r', "bba{ss}");
    if (r > 0)
        r = sd_bus_message_read(reply, "bb", &authorized, &challenge);
    sd_bus_message_unref(reply);
    if (r <= 0) {
        answer.error = "CheckAuthorization: an answer of another form";
        return answer;
    }
    answer.reached = true;
    answer.authorized = authorized != 0;
    answer.challenge = challenge != 0;
    return answer;
}
