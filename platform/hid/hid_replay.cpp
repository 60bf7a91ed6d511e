#include "platform/hid/hid_replay.h"

#include <poll.h>

#include <cerrno>

namespace {

using Clock = std::chrono::steady_clock;

enum class Wait { Serviced, Timeout, Stop };

// One wait: until the target has something to handle (handled, then), `until` (none:
// no limit) or the stop descriptor.
Wait ServiceOnce(ReplayTarget& target, int stopFd, const Clock::time_point* until) {
    int timeout = -1;
    if (until != nullptr) {
        const auto left = *until - Clock::now();
        if (left <= Clock::duration::zero())
            return Wait::Timeout;
        // Rounded up, so the wake-up is never early.
        timeout = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       left + std::chrono::microseconds(999))
                                       .count());
    }
    std::vector<pollfd> fds{{stopFd, POLLIN, 0}};
    for (int fd : target.Descriptors())
        fds.push_back({fd, POLLIN, 0});
    const int ready = ::poll(fds.data(), fds.size(), timeout);
    if (ready < 0)
        return errno == EINTR ? Wait::Serviced : Wait::Stop;
    if (fds[0].revents != 0)
        return Wait::Stop;
    if (ready == 0)
        return Wait::Timeout;
    target.Service();
    return Wait::Serviced;
}

// Keeps the target answering until `until`; false when the stop descriptor fired.
bool ServiceUntil(ReplayTarget& target, int stopFd, Clock::time_point until) {
    for (;;) {
        const Wait w = ServiceOnce(target, stopFd, &until);
        if (w == Wait::Stop)
            return false;
        if (w == Wait::Timeout)
            return true;
    }
}

}  // namespace

ReplayResult PlayEvents(std::size_t devices, ReplayTarget& target, const ReplayOptions& options,
                        int stopFd, const RecordedEventSource& next,
                        const std::function<void()>& onStart) {
    ReplayResult result;
    if (options.waitForOpen) {
        for (;;) {
            bool all = true;
            for (std::size_t i = 0; i < devices; ++i)
                all = all && target.Opened(i);
            if (all)
                break;
            // Only the target's own readiness (a reader arriving) changes Opened().
            if (ServiceOnce(target, stopFd, nullptr) == Wait::Stop) {
                result.end = ReplayEnd::Stopped;
                return result;
            }
        }
    }
    if (onStart)
        onStart();
    const double speed = options.speed > 0 ? options.speed : 1.0;
    const Clock::time_point start = Clock::now();
    RecordedEvent event;
    std::string error;
    while (next(&event, &error)) {
        const auto offset = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double, std::micro>(static_cast<double>(event.usec) / speed));
        const Clock::time_point due = start + offset;
        if (!ServiceUntil(target, stopFd, due)) {
            result.end = ReplayEnd::Stopped;
            return result;
        }
        if (!target.Send(event.device, event.data)) {
            result.end = ReplayEnd::Failed;
            result.error = target.LastError();
            return result;
        }
        ++result.sent;
    }
    if (!error.empty()) {
        result.end = ReplayEnd::Failed;
        result.error = error;
    }
    return result;
}

ReplayResult PlayRecording(const HidRecording& recording, ReplayTarget& target,
                           const ReplayOptions& options, int stopFd,
                           const std::function<void()>& onStart) {
    std::size_t index = 0;
    auto next = [&](RecordedEvent* event, std::string*) {
        if (index == recording.events.size())
            return false;
        *event = recording.events[index++];
        return true;
    };
    return PlayEvents(recording.devices.size(), target, options, stopFd, next, onStart);
}

void HoldTarget(ReplayTarget& target, int stopFd) {
    while (ServiceOnce(target, stopFd, nullptr) != Wait::Stop) {
    }
}
