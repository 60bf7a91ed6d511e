#include "platform/hid/hid_arrival_watcher.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

// devtmpfs resets a node's owner and mode just before it deletes it, so an attribute
// change is only taken as an arrival (udev granting access) when no deletion of the
// same node follows within this time.
constexpr std::chrono::milliseconds kAttribSettle{100};

}  // namespace

bool HidArrivalWatcher::Start(const std::string& devRoot, std::function<void()> onArrival) {
    if (m_thread.joinable())
        return true;
    if (!m_stop.Valid())
        return false;
    HidHandle inotify(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!inotify)
        return false;
    if (::inotify_add_watch(inotify.Get(), devRoot.c_str(),
                            IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE) < 0) {
        return false;
    }
    m_inotify = std::move(inotify);
    m_onArrival = std::move(onArrival);
    try {
        m_thread = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
        m_inotify.Close();
        errno = e.code().value();
        return false;
    }
    return true;
}

void HidArrivalWatcher::Stop() {
    if (!m_thread.joinable())
        return;
    m_stop.Signal();
    m_thread.join();
    m_stop.Drain();
    m_inotify.Close();
}

void HidArrivalWatcher::Run() {
    using Clock = std::chrono::steady_clock;
    // Aligned for the inotify_event records read into it.
    alignas(inotify_event) char buffer[4096];
    std::vector<std::string> attribPending;  // nodes whose attributes changed
    Clock::time_point settleAt{};
    for (;;) {
        int timeoutMs = -1;
        if (!attribPending.empty()) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(settleAt - Clock::now()).count();
            timeoutMs = static_cast<int>(std::max<long long>(left, 0));
        }
        pollfd fds[2] = {{m_inotify.Get(), POLLIN, 0}, {m_stop.Fd(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeoutMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        if (ready == 0) {
            // The attribute changes settled without a deletion: access was granted.
            attribPending.clear();
            m_onArrival();
            continue;
        }
        if (fds[0].revents & (POLLERR | POLLNVAL))
            return;

        const ssize_t n = ::read(m_inotify.Get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return;
        }
        bool arrived = false;
        for (std::size_t pos = 0; pos + sizeof(inotify_event) <= static_cast<std::size_t>(n);) {
            inotify_event event;
            std::memcpy(&event, buffer + pos, sizeof event);
            if (static_cast<std::size_t>(n) - pos - sizeof(inotify_event) < event.len)
                break;
            const char* name = buffer + pos + sizeof(inotify_event);
            const std::string_view nameView(name, event.len == 0 ? 0 : ::strnlen(name, event.len));
            pos += sizeof(inotify_event) + event.len;
            if (event.mask & IN_Q_OVERFLOW) {
                arrived = true;  // a lost event may have been an arrival
                continue;
            }
            if (!nameView.starts_with("hidraw"))
                continue;
            if (event.mask & (IN_CREATE | IN_MOVED_TO)) {
                arrived = true;
            } else if (event.mask & IN_DELETE) {
                std::erase(attribPending, nameView);
            } else if (event.mask & IN_ATTRIB) {
                if (attribPending.empty())
                    settleAt = Clock::now() + kAttribSettle;
                if (std::find(attribPending.begin(), attribPending.end(), nameView) ==
                    attribPending.end())
                    attribPending.emplace_back(nameView);
            }
        }
        if (arrived) {
            attribPending.clear();  // the search that follows sees those nodes too
            m_onArrival();
        }
    }
}
