#include "quillonctl/event_loop.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "platform/process/stop_signals.h"

void EventLoop::Post(std::function<void()> call) {
    {
        std::lock_guard lock(m_mutex);
        m_posted.push_back(std::move(call));
    }
    m_wake.Signal();
}

void EventLoop::SetTimer(int id, std::chrono::milliseconds period, std::function<void()> onFire) {
    m_timers[id] = Timer{Clock::now() + period, period, std::move(onFire)};
}

void EventLoop::KillTimer(int id) {
    m_timers.erase(id);
}

void EventLoop::Quit() {
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_wake.Signal();
}

bool EventLoop::Run() {
    for (;;) {
        std::deque<std::function<void()>> calls;
        {
            std::lock_guard lock(m_mutex);
            if (m_quit)
                return false;
            calls.swap(m_posted);
        }
        for (auto& call : calls)
            call();

        // Fire what is due; a handler may set or kill timers, so look each one up anew.
        const Clock::time_point now = Clock::now();
        for (auto it = m_timers.begin(); it != m_timers.end();) {
            const int id = it->first;
            if (it->second.next > now) {
                ++it;
                continue;
            }
            it->second.next = now + it->second.period;
            const std::function<void()> onFire = it->second.onFire;
            onFire();
            it = m_timers.upper_bound(id);
        }

        int timeout = -1;
        {
            std::lock_guard lock(m_mutex);
            if (m_quit)
                return false;
            if (!m_posted.empty())
                continue;
        }
        if (!m_timers.empty()) {
            auto next = std::min_element(m_timers.begin(), m_timers.end(), [](auto& a, auto& b) {
                            return a.second.next < b.second.next;
                        })->second.next;
            const auto wait =
                std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
            timeout = static_cast<int>(std::clamp<long long>(wait, 0, 60'000));
        }
        pollfd fds[2] = {{m_wake.Fd(), POLLIN, 0}, {StopSignalFd(), POLLIN, 0}};
        const int n = ::poll(fds, fds[1].fd >= 0 ? 2 : 1, timeout);
        if (n < 0 && errno != EINTR)
            return false;
        if (fds[0].revents & POLLIN)
            m_wake.Drain();
        if (fds[1].fd >= 0 && (fds[1].revents & POLLIN)) {
            TakeStopSignal();
            return true;
        }
    }
}
