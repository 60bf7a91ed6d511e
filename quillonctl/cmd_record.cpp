// quillonctl record: what the receivers send, in hid-recorder's text format, until
// Ctrl-C. Reads alongside a running Quillon: the nodes are opened for reading only and
// never locked.

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/hid_device.h"
#include "platform/hid_recorder.h"
#include "platform/stop_signals.h"
#include "quillonctl/ctl.h"
#include "receiver/kit_survey.h"

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
        for (const NodeReport& node : nodes) {
            if (node.role == role && node.present) {
                paths->push_back(node.path);
                labels->emplace_back(RoleText(role));
                break;
            }
        }
        if (labels->empty() || labels->back() != RoleText(role))
            std::fprintf(stderr, "quillonctl: no %s is present; it is not recorded\n",
                         std::string(RoleText(role)).c_str());
    }
    if (paths->empty()) {
        *error = "no receiver of the kit (USB 0471:0606) is present";
        return false;
    }
    return true;
}

}  // namespace

int RunRecord(const CtlOptions& options, const std::string& output,
              const std::vector<std::string>& nodes) {
    if (options.json && output.empty())
        return Fail("record --json needs --output FILE: the recording goes to stdout otherwise");
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
        std::fprintf(stderr, "quillonctl: %s%s\n", error.c_str(),
                     cause == EACCES || cause == EPERM ? " (quillonctl doctor tells why)" : "");
        return cause == EACCES || cause == EPERM    ? kExitDenied
               : cause == ENOENT || cause == ENODEV ? kExitAbsent
                                                    : kExitUsage;
    }

    std::FILE* out = stdout;
    if (!output.empty()) {
        out = std::fopen(output.c_str(), "w");
        if (out == nullptr)
            return Fail(output + ": " + std::strerror(errno));
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
    bool writeFailed = std::fputs(head.c_str(), out) < 0 || std::fflush(out) != 0;
    if (!options.json) {
        std::fprintf(stderr, "quillonctl: recording %zu device%s%s; Ctrl-C to stop\n",
                     devices.size(), several ? "s" : "",
                     output.empty() ? "" : (" to " + output).c_str());
    }

    std::size_t reports = 0;
    std::optional<std::size_t> last = several ? std::optional<std::size_t>() : 0;
    auto onReport = [&](std::size_t device, std::uint64_t usec,
                        std::span<const std::uint8_t> data) {
        std::string line;
        if (last != device)
            line = "D: " + std::to_string(device) + "\n";
        last = device;
        line += FormatRecordedEvent(usec, data);
        // Line by line, so that a recording cut short by a crash still holds every
        // report up to it.
        writeFailed = writeFailed || std::fputs(line.c_str(), out) < 0 || std::fflush(out) != 0;
        ++reports;
    };
    auto onGone = [&](std::size_t device, std::uint64_t usec, int cause) {
        const std::string line =
            "# " + paths[device] + " went away at " + Seconds(usec) + " s" +
            (cause != 0 ? std::string(" (") + std::strerror(cause) + ")" : "") + "\n";
        writeFailed = writeFailed || std::fputs(line.c_str(), out) < 0 || std::fflush(out) != 0;
        std::fprintf(stderr, "quillonctl: %s went away\n", paths[device].c_str());
    };
    const bool stopped = recorder.Run(StopSignalFd(), onReport, onGone);
    const std::uint64_t took = recorder.ElapsedUsec();
    if (out != stdout && std::fclose(out) != 0)
        writeFailed = true;
    if (writeFailed)
        return Fail("writing the recording failed: " +
                    std::string(output.empty() ? "stdout" : output));

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
        std::fprintf(stderr, "quillonctl: %zu report%s in %s s\n", reports, reports == 1 ? "" : "s",
                     Seconds(took).c_str());
    }
    return kExitOk;
}
