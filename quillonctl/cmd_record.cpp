// quillonctl record: what the receivers send, in hid-recorder's text format, until
// Ctrl-C. Reads alongside a running Quillon: the nodes are opened for reading only and
// never locked.

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "diagnosis/kit_survey.h"
#include "platform/hid/hid_device.h"
#include "platform/hid/hid_recorder.h"
#include "platform/process/stop_signals.h"
#include "quillonctl/ctl.h"
#include "quillonctl/texts.h"

namespace {

std::string Seconds(std::uint64_t usec) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%06llu", static_cast<unsigned long long>(usec / 1000000),
                  static_cast<unsigned long long>(usec % 1000000));
    return text;
}

std::string Now() {
    char text[64] = "";
    const time_t t = ::time(nullptr);
    tm local{};
    if (::localtime_r(&t, &local) != nullptr)
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local);
    return text;
}

// Both receivers, as the receiver threads would find them.
bool DefaultNodes(std::vector<std::string>* paths, std::vector<std::string>* labels,
                  std::string* error) {
    std::vector<NodeReport> nodes;
    if (!SurveyNodes(CtlHid(), &nodes, error))
        return false;
    for (NodeRole role : {NodeRole::IrReceiver, NodeRole::GameReceiver}) {
        if (const NodeReport* node = ReceiverNodeOf(nodes, role);
            node != nullptr && node->present) {
            paths->push_back(node->path);
            labels->emplace_back(RoleText(role));
        }
        if (labels->empty() || labels->back() != RoleText(role)) {
            Tell(Format(Translate("quillonctl", "no %s is present; it is not recorded"),
                        std::string(RoleText(role)).c_str()));
        }
    }
    if (paths->empty()) {
        *error = Translate("quillonctl", "no receiver of the kit (USB 0471:0606) is present");
        return false;
    }
    return true;
}

// Where the recording goes, a whole line at a time. A write that fails ends the
// recording: a regular file is cut back to its last whole line, so that what it holds
// stays a recording. Waiting on a pipe or FIFO that is not read ends with the stop
// signal.
class RecordingOutput {
public:
    enum class Put { Written, Failed, Stopped };

    // stdout, as it is.
    RecordingOutput() : m_fd(STDOUT_FILENO), m_name("stdout") {}
    ~RecordingOutput() {
        if (m_own && m_fd >= 0)
            ::close(m_fd);
    }
    RecordingOutput(const RecordingOutput&) = delete;
    RecordingOutput& operator=(const RecordingOutput&) = delete;

    // Creates or empties `path`. A FIFO that nobody reads yet is waited on until a
    // reader comes or the stop signal does (Stopped). Failed with Error().
    Put Open(const std::string& path, int stopFd) {
        m_name = path;
        m_own = true;
        bool told = false;
        for (;;) {
            // Non-blocking: an open of a FIFO would otherwise wait for its reader
            // where no signal ends the wait.
            m_fd =
                ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
            if (m_fd >= 0)
                break;
            if (errno != ENXIO) {
                m_error = path + ": " + std::strerror(errno);
                return Put::Failed;
            }
            if (!told) {
                Tell(Format(Translate("quillonctl",
                                      "%s: a FIFO that no program reads yet; waiting "
                                      "for one (Ctrl-C to stop)"),
                            path.c_str()));
                told = true;
            }
            // No event tells of a reader's arrival at a FIFO: look again now and then.
            pollfd p{stopFd, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0)
                return Put::Stopped;
        }
        struct stat st {};
        m_regular = ::fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode);
        return Put::Written;
    }

    Put Write(std::string_view text, int stopFd) {
        while (!text.empty()) {
            // A pipe that takes no more is waited on with the stop signal; a write of
            // up to PIPE_BUF to a writable pipe does not block.
            pollfd p[2] = {{m_fd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
            if (::poll(p, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return Failed(errno);
            }
            if ((p[0].revents & (POLLOUT | POLLERR | POLLHUP)) == 0) {
                if (p[1].revents != 0)
                    return Put::Stopped;
                continue;
            }
            const ssize_t n =
                ::write(m_fd, text.data(), std::min<std::size_t>(text.size(), PIPE_BUF));
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (n <= 0)
                return Failed(n < 0 ? errno : EIO);
            m_written += static_cast<std::size_t>(n);
            text.remove_prefix(static_cast<std::size_t>(n));
        }
        m_kept = m_written;
        return Put::Written;
    }

    // Failed with Error() when what was written may not all be kept.
    bool Close() {
        if (!m_own || m_fd < 0)
            return true;
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0) {
            m_error = m_name + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }

    const std::string& Name() const { return m_name; }
    const std::string& Error() const { return m_error; }

private:
    Put Failed(int cause) {
        m_error = m_name + ": " + std::strerror(cause);
        // A part of a line is no line of a recording.
        if (m_regular && m_own && m_written != m_kept) [[maybe_unused]]
            const int ignored = ::ftruncate(m_fd, static_cast<off_t>(m_kept));
        return Put::Failed;
    }

    int m_fd = -1;
    std::string m_name;
    bool m_own = false;
    bool m_regular = false;
    std::size_t m_written = 0;
    std::size_t m_kept = 0;  // up to the end of the last whole line
    std::string m_error;
};

}  // namespace

int RunRecording(const CtlOptions& options, const std::string& output,
                 const std::vector<std::string>& nodes) {
    if (options.json && output.empty())
        return Fail(Translate("quillonctl",
                              "record --json needs --output FILE: the recording goes to stdout "
                              "otherwise"));
    std::string error;
    if (!InstallStopSignals(&error))
        return Fail(error);

    std::vector<std::string> paths;
    std::vector<std::string> labels;
    if (nodes.empty()) {
        if (!DefaultNodes(&paths, &labels, &error)) {
            std::fprintf(stderr, "quillonctl: %s\n", error.c_str());
            return kExitAbsent;
        }
    } else {
        for (const std::string& node : nodes) {
            paths.push_back(node.find('/') == std::string::npos ? CtlHid().DevicePath(node) : node);
            labels.emplace_back();
        }
    }

    HidRecorder recorder;
    if (!recorder.Open(CtlHid(), paths, &error)) {
        const int cause = errno;
        const bool denied = cause == EACCES || cause == EPERM;
        std::fprintf(stderr, "quillonctl: %s%s%s\n", error.c_str(), denied ? " " : "",
                     denied ? Translate("quillonctl", "(quillonctl doctor tells why)") : "");
        return cause == EACCES || cause == EPERM    ? kExitDenied
               : cause == ENOENT || cause == ENODEV ? kExitAbsent
                                                    : kExitUsage;
    }

    // A reader that goes away is a write error like any other, not a silent end.
    ::signal(SIGPIPE, SIG_IGN);
    RecordingOutput out;
    if (!output.empty()) {
        const RecordingOutput::Put opened = out.Open(output, StopSignalFd());
        if (opened == RecordingOutput::Put::Failed)
            return Fail(out.Error());
        if (opened == RecordingOutput::Put::Stopped) {
            Tell(Translate("quillonctl", "stopped before anything was recorded"));
            return kExitOk;
        }
    }
    const std::vector<RecordedDevice>& devices = recorder.Devices();
    const bool several = devices.size() > 1;
    std::string head = "# quillonctl record, " + Now() + "\n";
    for (std::size_t i = 0; i < devices.size(); ++i) {
        head += "# " + (several ? "D: " + std::to_string(i) + " " : std::string()) + paths[i] +
                (labels[i].empty() ? "" : " (" + labels[i] + ")") + "\n";
    }
    for (std::size_t i = 0; i < devices.size(); ++i)
        head += FormatRecordedDevice(devices[i],
                                     several ? std::optional<std::size_t>(i) : std::nullopt);
    // The head is kept whole or not at all: without it nothing is a recording.
    switch (out.Write(head, StopSignalFd())) {
        case RecordingOutput::Put::Written:
            break;
        case RecordingOutput::Put::Failed:
            return Fail(Format(Translate("quillonctl", "writing the recording failed: %s"),
                               out.Error().c_str()));
        case RecordingOutput::Put::Stopped:
            Tell(Translate("quillonctl", "stopped before anything was recorded"));
            return kExitOk;
    }
    if (!options.json) {
        Tell(output.empty()
                 ? Format(Translate("quillonctl", "recording %zu device%s; Ctrl-C to stop"),
                          devices.size(), several ? "s" : "")
                 : Format(Translate("quillonctl", "recording %zu device%s to %s; Ctrl-C to stop"),
                          devices.size(), several ? "s" : "", output.c_str()));
    }

    std::size_t reports = 0;
    RecordingOutput::Put state = RecordingOutput::Put::Written;
    // Line by line, so that a recording cut short by a crash still holds every report
    // up to it; the first write that fails or waits past the stop signal ends it.
    auto put = [&](const std::string& line) {
        if (state == RecordingOutput::Put::Written)
            state = out.Write(line, StopSignalFd());
        if (state != RecordingOutput::Put::Written)
            recorder.EndRun();
        return state == RecordingOutput::Put::Written;
    };
    std::optional<std::size_t> last = several ? std::optional<std::size_t>() : 0;
    auto onReport = [&](std::size_t device, std::uint64_t usec,
                        std::span<const std::uint8_t> data) {
        std::string line;
        if (last != device)
            line = "D: " + std::to_string(device) + "\n";
        line += FormatRecordedEvent(usec, data);
        if (put(line)) {
            last = device;
            ++reports;
        }
    };
    auto onGone = [&](std::size_t device, std::uint64_t usec, int cause) {
        put("# " + paths[device] + " went away at " + Seconds(usec) + " s" +
            (cause != 0 ? std::string(" (") + std::strerror(cause) + ")" : "") + "\n");
        Tell(Format(Translate("quillonctl", "%s went away"), paths[device].c_str()));
    };
    const bool stopped = recorder.Run(StopSignalFd(), onReport, onGone);
    const std::uint64_t took = recorder.ElapsedUsec();
    if (state == RecordingOutput::Put::Failed)
        return Fail(Format(Translate("quillonctl",
                                     "writing the recording failed: %s; it ends "
                                     "with the %zu report%s before"),
                           out.Error().c_str(), reports, reports == 1 ? "" : "s"));
    if (state == RecordingOutput::Put::Stopped) {
        Tell(Format(Translate("quillonctl", "%s took no more; its last line may be cut short"),
                    out.Name().c_str()));
    }
    if (!out.Close())
        return Fail(Format(Translate("quillonctl", "writing the recording failed: %s"),
                           out.Error().c_str()));

    if (options.json) {
        nlohmann::json list = nlohmann::json::array();
        for (std::size_t i = 0; i < devices.size(); ++i)
            list.push_back({{"path", paths[i]}, {"name", devices[i].name}});
        PrintJson({{"output", output},
                   {"devices", list},
                   {"reports", reports},
                   {"seconds", static_cast<double>(took) / 1e6},
                   {"ended_by", stopped ? "signal" : "devices-gone"}});
    } else {
        Tell(Format(Translate("quillonctl", "%zu report%s in %s s"), reports,
                    reports == 1 ? "" : "s", Seconds(took).c_str()));
    }
    return kExitOk;
}
