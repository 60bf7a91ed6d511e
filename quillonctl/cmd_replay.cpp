// quillonctl replay FILE: a hid-recorder recording played back with its timing,
// through /dev/uhid (the real kernel makes the devices and their hidraw nodes) or,
// with --virtual, as served nodes in a temporary tree that the window and quillonctl
// read when QUILLON_SYSFS_ROOT and QUILLON_DEV_ROOT point at it. The whole file is
// read and checked before any device is made.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/hid_recording.h"
#include "platform/hid_replay.h"
#include "platform/served_hid_tree.h"
#include "platform/stop_signals.h"
#include "platform/uhid_target.h"
#include "quillonctl/ctl.h"

namespace {

// Larger than any field recording; a mistaken file name does not fill the memory.
constexpr std::size_t kMaxFile = std::size_t{256} << 20;

bool ReadWhole(const std::string& path, std::string* text, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
        text->append(buffer, static_cast<std::size_t>(n));
        if (text->size() > kMaxFile) {
            ::close(fd);
            *error = path + ": larger than 256 MiB, not a recording";
            return false;
        }
    }
    const int cause = errno;
    ::close(fd);
    if (n < 0) {
        *error = path + ": " + std::strerror(cause);
        return false;
    }
    return true;
}

std::string DeviceList(const HidRecording& recording) {
    std::string text;
    for (const RecordedDevice& d : recording.devices) {
        char ids[32];
        std::snprintf(ids, sizeof ids, "%04x:%04x", d.vendor, d.product);
        text += std::string(text.empty() ? "" : ", ") + (d.name.empty() ? "(no name)" : d.name) +
                " (" + ids + ")";
    }
    return text;
}

}  // namespace

int RunReplay(const CtlOptions& options, const std::string& file, const ReplaySettings& settings) {
    std::string text;
    std::string error;
    if (!ReadWhole(file, &text, &error))
        return Fail(error);
    RecordingError fault;
    const std::optional<HidRecording> recording = ParseHidRecording(text, &fault);
    if (!recording)
        return Fail(file + ": " + fault.Describe());
    if (!InstallStopSignals(&error))
        return Fail(error);

    ServedHidTree tree;
    UhidTarget uhid;
    ReplayTarget* target = nullptr;
    if (settings.virtualKit) {
        if (!tree.Create(*recording, &error))
            return Fail(error);
        target = &tree;
        if (options.json) {
            nlohmann::json nodes = nlohmann::json::array();
            for (std::size_t i = 0; i < recording->devices.size(); ++i)
                nodes.push_back(tree.NodePath(i));
            PrintJson({{"event", "served"},
                       {"sysfs_root", tree.SysRoot()},
                       {"dev_root", tree.DevRoot()},
                       {"nodes", nodes}});
        } else {
            std::printf("export QUILLON_SYSFS_ROOT=%s\nexport QUILLON_DEV_ROOT=%s\n",
                        tree.SysRoot().c_str(), tree.DevRoot().c_str());
            std::fflush(stdout);
            std::fprintf(stderr,
                         "quillonctl: %s served; run the window or quillonctl with the two "
                         "variables above to see the replay\n",
                         DeviceList(*recording).c_str());
        }
    } else {
        if (!uhid.Create(*recording, &error))
            return Fail(error);
        target = &uhid;
        if (options.json)
            PrintJson({{"event", "created"}, {"devices", recording->devices.size()}});
        else
            std::fprintf(stderr, "quillonctl: %s created through /dev/uhid\n",
                         DeviceList(*recording).c_str());
    }
    if (!settings.noWait && !options.json)
        std::fprintf(stderr,
                     "quillonctl: waiting until a program opens every device (Ctrl-C to stop)\n");

    auto begin = std::chrono::steady_clock::now();
    auto onStart = [&] {
        begin = std::chrono::steady_clock::now();
        if (options.json)
            PrintJson({{"event", "started"}, {"reports", recording->events.size()}});
        else
            std::fprintf(stderr, "quillonctl: replaying %zu reports at %gx\n",
                         recording->events.size(), settings.speed);
    };
    const ReplayResult result = PlayRecording(
        *recording, *target, {settings.speed, !settings.noWait}, StopSignalFd(), onStart);
    // From the first report on: the recording's own time, divided by the speed.
    const double played =
        result.end == ReplayEnd::Stopped && result.sent == 0
            ? 0.0
            : std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if (result.end == ReplayEnd::Failed)
        return Fail("replay stopped after " + std::to_string(result.sent) +
                    " reports: " + result.error);
    if (result.end == ReplayEnd::Done && settings.hold) {
        if (!options.json)
            std::fprintf(stderr, "quillonctl: replay done; the devices stay until Ctrl-C\n");
        HoldTarget(*target, StopSignalFd());
    }
    const char* end = result.end == ReplayEnd::Done ? "done" : "stopped";
    if (options.json) {
        PrintJson({{"event", end},
                   {"sent", result.sent},
                   {"reports", recording->events.size()},
                   {"played_seconds", played}});
    } else {
        std::fprintf(stderr, "quillonctl: replay %s: %zu of %zu reports sent in %.1f s\n", end,
                     result.sent, recording->events.size(), played);
    }
    return kExitOk;
}
