#include "platform/hid_arrival_watcher.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <system_error>

bool HidArrivalWatcher::Start(const std::string& devRoot, std::function<void()> onArrival) {
    if (m_thread.joinable())
        return true;
    if (!m_stop.Valid())
        return false;
    HidHandle inotify(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!inotify)
        return false;
    if (::inotify_add_watch(inotify.Get(), devRoot.c_str(), IN_CREATE | IN_MOVED_TO | IN_ATTRIB) <
        0) {
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
    // Aligned for the inotify_event records read into it.
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        pollfd fds[2] = {{m_inotify.Get(), POLLIN, 0}, {m_stop.Fd(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
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
            // A lost event may have been an arrival.
            if ((event.mask & IN_Q_OVERFLOW) || nameView.starts_with("hidraw"))
                arrived = true;
            pos += sizeof(inotify_event) + event.len;
        }
        if (arrived)
            m_onArrival();
    }
}
