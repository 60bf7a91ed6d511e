// quillonctl replay FILE: a hid-recorder recording played back with its timing,
// through /dev/uhid (the real kernel makes the devices and their hidraw nodes) or,
// with --virtual, as served nodes in a temporary tree that the window and quillonctl
// read when QUILLON_SYSFS_ROOT and QUILLON_DEV_ROOT point at it. The whole file is
// read and checked before any device is made, then read again as it is played.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/hid/hid_recording_file.h"
#include "platform/hid/hid_replay.h"
#include "platform/hid/served_hid_tree.h"
#include "platform/hid/uhid_target.h"
#include "platform/process/display_escape.h"
#include "platform/process/stop_signals.h"
#include "platform/process/worker_thread.h"
#include "quillonctl/ctl.h"
#include "quillonctl/texts.h"

namespace {

using namespace std::chrono_literals;

// Names come from the file: a C1 control in one must not reach the terminal.
std::string DeviceList(const std::vector<RecordedDevice>& devices) {
    std::string text;
    for (const RecordedDevice& d : devices) {
        char ids[32];
        std::snprintf(ids, sizeof ids, "%04x:%04x", d.vendor, d.product);
        text += std::string(text.empty() ? "" : ", ") +
                (d.name.empty() ? Translate("quillonctl", "(no name)") : EscapeForDisplay(d.name)) +
                " (" + ids + ")";
    }
    return text;
}

// Passes everything on to the real target and counts the reports that went.
class CountingTarget : public ReplayTarget {
public:
    explicit CountingTarget(ReplayTarget& inner) : m_inner(inner) {}
    std::vector<int> Descriptors() const override { return m_inner.Descriptors(); }
    void Service() override { m_inner.Service(); }
    bool Opened(std::size_t device) const override { return m_inner.Opened(device); }
    bool Send(std::size_t device, std::span<const std::uint8_t> report) override {
        const bool ok = m_inner.Send(device, report);
        if (ok)
            m_sent.fetch_add(1, std::memory_order_relaxed);
        return ok;
    }
    std::string LastError() const override { return m_inner.LastError(); }
    std::size_t Sent() const { return m_sent.load(std::memory_order_relaxed); }

private:
    ReplayTarget& m_inner;
    std::atomic<std::size_t> m_sent{0};
};

// Reports sent and time left on one rewritten stderr line, twice a second, while the
// replay runs; for a person at a terminal only.
class ReplayProgress {
public:
    ReplayProgress(const CountingTarget& target, std::size_t reports, double seconds)
        : m_target(target), m_reports(reports), m_seconds(seconds) {}
    ~ReplayProgress() { Stop(); }

    void Start() {
        const auto begin = std::chrono::steady_clock::now();
        m_thread.Start([this, begin] {
            std::unique_lock lock(m_mutex);
            do {
                const double elapsed =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
                const std::string line =
                    Format(Translate("quillonctl", "%zu of %zu reports sent, %.0f s left"),
                           m_target.Sent(), m_reports, std::max(0.0, m_seconds - elapsed));
                std::fprintf(stderr, "\rquillonctl: %s ", line.c_str());
                // "quillonctl: " and the space after it
                m_shown = std::max(m_shown, line.size() + 13);
            } while (!m_changed.wait_for(lock, 500ms, [this] { return m_stop; }));
        });
    }
    void Stop() {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        m_thread.Join();
        if (m_shown > 0) {
            // A translation may be longer than the English line.
            std::fprintf(stderr, "\r%*s\r", static_cast<int>(std::max<std::size_t>(m_shown, 60)),
                         "");
        }
        m_shown = 0;
    }

private:
    const CountingTarget& m_target;
    const std::size_t m_reports;
    const double m_seconds;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stop = false;
    std::size_t m_shown = 0;  // the longest line shown; the progress thread's until joined
    WorkerThread m_thread;
};

}  // namespace

int RunReplay(const CtlOptions& options, const std::string& file, const ReplaySettings& settings) {
    std::string error;
    HidRecordingFile recording;
    if (!recording.Open(file, &error))
        return Fail(error);
    if (const std::string odd = recording.Warnings().Describe(); !odd.empty())
        Tell(Format(Translate("quillonctl", "warning: %s: %s"), EscapeForDisplay(file).c_str(),
                    odd.c_str()));
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
            Tell(Format(Translate("quillonctl",
                                  "%s served; run the window or quillonctl with the "
                                  "two variables above to see the replay"),
                        DeviceList(recording.Devices()).c_str()));
        }
    } else {
        if (!uhid.Create(recording.Devices(), &error))
            return Fail(error);
        target = &uhid;
        if (options.json)
            PrintJson({{"event", "created"}, {"devices", recording.Devices().size()}});
        else
            Tell(Format(Translate("quillonctl", "%s created through /dev/uhid"),
                        DeviceList(recording.Devices()).c_str()));
    }
    if (!settings.noWait && !options.json)
        Tell(
            Translate("quillonctl", "waiting until a program opens every device (Ctrl-C to stop)"));

    CountingTarget counting(*target);
    const double length = static_cast<double>(recording.LastUsec()) / 1e6 / settings.speed;
    ReplayProgress progress(counting, recording.Events(), length);
    const bool showProgress =
        !options.json && ::isatty(STDOUT_FILENO) != 0 && ::isatty(STDERR_FILENO) != 0;
    auto begin = std::chrono::steady_clock::now();
    auto onStart = [&] {
        begin = std::chrono::steady_clock::now();
        if (options.json)
            PrintJson({{"event", "started"}, {"reports", recording.Events()}});
        else
            Tell(Format(Translate("quillonctl", "replaying %zu reports at %gx"), recording.Events(),
                        settings.speed));
        if (showProgress)
            progress.Start();
    };
    const ReplayResult result = PlayEvents(
        recording.Devices().size(), counting, {settings.speed, !settings.noWait}, StopSignalFd(),
        [&](RecordedEvent* event, std::string* why) { return recording.Next(event, why); },
        onStart);
    progress.Stop();
    // From the first report on: the recording's own time, divided by the speed.
    const double played =
        result.end == ReplayEnd::Stopped && result.sent == 0
            ? 0.0
            : std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if (result.end == ReplayEnd::Failed)
        return Fail(Format(Translate("quillonctl", "replay stopped after %zu reports: %s"),
                           result.sent, result.error.c_str()));
    if (result.end == ReplayEnd::Done && settings.hold) {
        if (!options.json)
            Tell(Translate("quillonctl", "replay done; the devices stay until Ctrl-C"));
        HoldTarget(*target, StopSignalFd());
    }
    const char* end = result.end == ReplayEnd::Done ? "done" : "stopped";
    if (options.json) {
        PrintJson({{"event", end},
                   {"sent", result.sent},
                   {"reports", recording.Events()},
                   {"played_seconds", played}});
    } else {
        Tell(result.end == ReplayEnd::Done
                 ? Format(Translate("quillonctl", "replay done: %zu of %zu reports sent in %.1f s"),
                          result.sent, recording.Events(), played)
                 : Format(
                       Translate("quillonctl", "replay stopped: %zu of %zu reports sent in %.1f s"),
                       result.sent, recording.Events(), played));
    }
    return kExitOk;
}
