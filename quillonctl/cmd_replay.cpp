// quillonctl replay FILE: a hid-recorder recording played back with its timing,
// through /dev/uhid (the real kernel makes the devices and their hidraw nodes) or,
// with --virtual, as served nodes in a temporary tree that the window and quillonctl
// read when QUILLON_SYSFS_ROOT and QUILLON_DEV_ROOT point at it. The whole file is
// read and checked before any device is made, then read again as it is played.

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/hid_recording_file.h"
#include "platform/hid_replay.h"
#include "platform/served_hid_tree.h"
#include "platform/stop_signals.h"
#include "platform/uhid_target.h"
#include "quillonctl/ctl.h"

namespace {

// TODO(merge): show the names through platform/display_escape.h (N: refuses C0
// controls, but a C1 one in a name reaches the terminal).
std::string DeviceList(const std::vector<RecordedDevice>& devices) {
    std::string text;
    for (const RecordedDevice& d : devices) {
        char ids[32];
        std::snprintf(ids, sizeof ids, "%04x:%04x", d.vendor, d.product);
        text += std::string(text.empty() ? "" : ", ") + (d.name.empty() ? "(no name)" : d.name) +
                " (" + ids + ")";
    }
    return text;
}

}  // namespace

int RunReplay(const CtlOptions& options, const std::string& file, const ReplaySettings& settings) {
    std::string error;
    HidRecordingFile recording;
    if (!recording.Open(file, &error))
        return Fail(error);
    if (const std::string odd = recording.Warnings().Describe(); !odd.empty())
        std::fprintf(stderr, "quillonctl: warning: %s: %s\n", file.c_str(), odd.c_str());
    if (!InstallStopSignals(&error))
        return Fail(error);

    ServedHidTree tree;
    UhidTarget uhid;
    ReplayTarget* target = nullptr;
    if (settings.virtualKit) {
        if (!tree.Create(recording.Devices(), &error))
            return Fail(error);
        target = &tree;
        if (options.json) {
            nlohmann::json nodes = nlohmann::json::array();
            for (std::size_t i = 0; i < recording.Devices().size(); ++i)
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
                         DeviceList(recording.Devices()).c_str());
        }
    } else {
        if (!uhid.Create(recording.Devices(), &error))
            return Fail(error);
        target = &uhid;
        if (options.json)
            PrintJson({{"event", "created"}, {"devices", recording.Devices().size()}});
        else
            std::fprintf(stderr, "quillonctl: %s created through /dev/uhid\n",
                         DeviceList(recording.Devices()).c_str());
    }
    if (!settings.noWait && !options.json)
        std::fprintf(stderr,
                     "quillonctl: waiting until a program opens every device (Ctrl-C to stop)\n");

    auto begin = std::chrono::steady_clock::now();
    auto onStart = [&] {
        begin = std::chrono::steady_clock::now();
        if (options.json)
            PrintJson({{"event", "started"}, {"reports", recording.Events()}});
        else
            std::fprintf(stderr, "quillonctl: replaying %zu reports at %gx\n", recording.Events(),
                         settings.speed);
    };
    const ReplayResult result = PlayEvents(
        recording.Devices().size(), *target, {settings.speed, !settings.noWait}, StopSignalFd(),
        [&](RecordedEvent* event, std::string* why) { return recording.Next(event, why); },
        onStart);
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
                   {"reports", recording.Events()},
                   {"played_seconds", played}});
    } else {
        std::fprintf(stderr, "quillonctl: replay %s: %zu of %zu reports sent in %.1f s\n", end,
                     result.sent, recording.Events(), played);
    }
    return kExitOk;
}
