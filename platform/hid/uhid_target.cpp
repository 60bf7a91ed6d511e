#include "platform/hid/uhid_target.h"

#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace {

bool WriteEvent(int fd, const uhid_event& ev, std::string* error) {
    const ssize_t n = ::write(fd, &ev, sizeof ev);
    if (n == static_cast<ssize_t>(sizeof ev))
        return true;
    *error = n < 0 ? std::strerror(errno) : "short write";
    return false;
}

}  // namespace

std::string UhidAccessProblem(const std::string& uhidPath) {
    struct stat st {};
    if (::stat(uhidPath.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return uhidPath + " does not exist: load the uhid module (sudo modprobe uhid)";
        return uhidPath + ": " + std::strerror(errno);
    }
    if (::access(uhidPath.c_str(), R_OK | W_OK) != 0) {
        return uhidPath + " may not be written by you (" + std::strerror(errno) +
               "): run the replay as root (sudo quillonctl replay ...), or give yourself the "
               "right to it (sudo setfacl -m u:$USER:rw " +
               uhidPath + ")";
    }
    return {};
}

UhidTarget::~UhidTarget() {
    Destroy();
}

bool UhidTarget::Create(const std::vector<RecordedDevice>& devices, std::string* error,
                        const std::string& uhidPath) {
    Destroy();
    if (std::string problem = UhidAccessProblem(uhidPath); !problem.empty()) {
        *error = problem;
        return false;
    }
    std::vector<HidHandle> handles;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        handles.emplace_back(::open(uhidPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        if (!handles.back()) {
            *error = uhidPath + ": " + std::strerror(errno);
            return false;
        }
    }
    return CreateOn(devices, std::move(handles), error);
}

bool UhidTarget::CreateOn(const std::vector<RecordedDevice>& devices,
                          std::vector<HidHandle> handles, std::string* error) {
    Destroy();
    if (handles.size() != devices.size()) {
        *error = "one descriptor per device is needed";
        return false;
    }
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const RecordedDevice& d = devices[i];
        Device device;
        device.fd = std::move(handles[i]);
        // Over 4 KiB: not on the stack of whoever calls us.
        auto ev = std::make_unique<uhid_event>();
        ev->type = UHID_CREATE2;
        auto& c = ev->u.create2;
        std::memcpy(c.name, d.name.data(), std::min(d.name.size(), sizeof c.name - 1));
        std::memcpy(c.phys, d.phys.data(), std::min(d.phys.size(), sizeof c.phys - 1));
        c.rd_size = static_cast<std::uint16_t>(std::min(d.descriptor.size(), sizeof c.rd_data));
        c.bus = d.bus;
        c.vendor = d.vendor;
        c.product = d.product;
        std::copy_n(d.descriptor.begin(), c.rd_size, c.rd_data);
        std::string why;
        if (!WriteEvent(device.fd.Get(), *ev, &why)) {
            *error = "the kernel refused device " + std::to_string(i) + " (" + d.name + "): " + why;
            Destroy();
            return false;
        }
        m_devices.push_back(std::move(device));
    }
    // Reports sent before the kernel has started a device are refused: wait for each
    // one's start (it comes within milliseconds; the bound is for a kernel that hangs).
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    for (std::size_t i = 0; i < m_devices.size(); ++i) {
        while (!m_devices[i].started) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{m_devices[i].fd.Get(), POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                *error = "the kernel did not start device " + std::to_string(i) + " (" +
                         devices[i].name + ")";
                Destroy();
                return false;
            }
            Answer(m_devices[i]);
        }
    }
    return true;
}

void UhidTarget::Destroy() {
    for (Device& device : m_devices) {
        if (!device.fd)
            continue;
        uhid_event ev{};
        ev.type = UHID_DESTROY;
        std::string ignored;
        WriteEvent(device.fd.Get(), ev, &ignored);
        device.fd.Close();
    }
    m_devices.clear();
}

std::vector<int> UhidTarget::Descriptors() const {
    std::vector<int> fds;
    for (const Device& device : m_devices)
        fds.push_back(device.fd.Get());
    return fds;
}

void UhidTarget::Answer(Device& device) {
    uhid_event ev{};
    while (::read(device.fd.Get(), &ev, sizeof ev) > 0) {
        uhid_event reply{};
        bool answer = false;
        switch (ev.type) {
            case UHID_START:
                device.started = true;
                break;
            case UHID_OPEN:
                device.opened = true;
                break;
            // A recording has no answers to the kernel's requests; refuse them at
            // once rather than let the asker wait out the kernel's time-out.
            case UHID_GET_REPORT:
                reply.type = UHID_GET_REPORT_REPLY;
                reply.u.get_report_reply.id = ev.u.get_report.id;
                reply.u.get_report_reply.err = EIO;
                answer = true;
                break;
            case UHID_SET_REPORT:
                reply.type = UHID_SET_REPORT_REPLY;
                reply.u.set_report_reply.id = ev.u.set_report.id;
                reply.u.set_report_reply.err = EIO;
                answer = true;
                break;
            default:
                break;
        }
        if (answer) {
            std::string ignored;
            WriteEvent(device.fd.Get(), reply, &ignored);
        }
    }
}

void UhidTarget::Service() {
    for (Device& device : m_devices)
        Answer(device);
}

bool UhidTarget::Opened(std::size_t device) const {
    return device < m_devices.size() && m_devices[device].opened;
}

bool UhidTarget::Send(std::size_t device, std::span<const std::uint8_t> report) {
    if (device >= m_devices.size()) {
        m_lastError = "no device " + std::to_string(device);
        return false;
    }
    uhid_event ev{};
    ev.type = UHID_INPUT2;
    ev.u.input2.size = static_cast<std::uint16_t>(std::min(report.size(), sizeof ev.u.input2.data));
    std::copy_n(report.begin(), ev.u.input2.size, ev.u.input2.data);
    std::string why;
    if (!WriteEvent(m_devices[device].fd.Get(), ev, &why)) {
        m_lastError = "device " + std::to_string(device) + ": " + why;
        return false;
    }
    return true;
}
