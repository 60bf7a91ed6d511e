#include "platform/hid/hid_recorder.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/hid/hid_descriptor.h"
#include "platform/process/small_file.h"

namespace {

// The monotonic clock, in the recording's unit.
std::uint64_t MonotonicUsec() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool HidRecorder::Open(HidSystem& hid, const std::vector<std::string>& paths, std::string* error) {
    m_devices.clear();
    m_paths.clear();
    m_handles.clear();
    for (const std::string& path : paths) {
        HidDeviceInfo info;
        // Read only, no lock: whoever holds the node keeps it.
        const std::int32_t opened =
            hid.OpenHidDevice(path.c_str(), true, false, true, false, true, &info);
        if (opened != HID_OPEN_OK) {
            // Opened, but sysfs does not describe it as a HID interface: EINVAL.
            const int saved = opened == HID_OPEN_FAILED ? errno : EINVAL;
            *error = path + ": " +
                     (opened == HID_OPEN_FAILED
                          ? std::string(std::strerror(saved))
                          : "not a hidraw interface (sysfs gives no descriptor or ids for it)");
            m_handles.clear();
            m_devices.clear();
            m_paths.clear();
            errno = saved;
            return false;
        }
        RecordedDevice device;
        device.descriptor = info.preparsedData;
        device.bus = info.attributes.bus;
        device.vendor = info.attributes.vendorId;
        device.product = info.attributes.productId;
        const std::string uevent =
            ReadSmallFile(hid.SysRoot() + "/class/hidraw/" + BaseName(path) + "/device/uevent");
        device.name = UeventValue(uevent, "HID_NAME").substr(0, kMaxRecordedName);
        device.phys = UeventValue(uevent, "HID_PHYS").substr(0, kMaxRecordedPhys);
        m_devices.push_back(std::move(device));
        m_paths.push_back(path);
        m_handles.push_back(std::move(info.handle));
    }
    m_startUsec = MonotonicUsec();
    return true;
}

std::uint64_t HidRecorder::ElapsedUsec() const {
    return MonotonicUsec() - m_startUsec;
}

bool HidRecorder::Run(int stopFd, const ReportSink& onReport, const GoneSink& onGone) {
    std::vector<std::uint8_t> buffer(kMaxRecordedReport);
    m_endRun = false;
    for (;;) {
        std::vector<pollfd> fds{{stopFd, POLLIN, 0}};
        std::vector<std::size_t> index;
        for (std::size_t i = 0; i < m_handles.size(); ++i) {
            if (m_handles[i]) {
                fds.push_back({m_handles[i].Get(), POLLIN, 0});
                index.push_back(i);
            }
        }
        if (index.empty())
            return false;
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (fds[0].revents != 0)
            return true;
        for (std::size_t k = 0; k < index.size(); ++k) {
            const short events = fds[k + 1].revents;
            if (events == 0)
                continue;
            if (m_endRun)
                return true;
            const std::size_t i = index[k];
            // What is queued is read first; the end shows once it is taken.
            if (events & POLLIN) {
                const ssize_t n = ::read(m_handles[i].Get(), buffer.data(), buffer.size());
                if (n > 0) {
                    onReport(
                        i, ElapsedUsec(),
                        std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)));
                    continue;
                }
                if (n < 0 && (errno == EAGAIN || errno == EINTR))
                    continue;
                onGone(i, ElapsedUsec(), n == 0 ? 0 : errno);
                m_handles[i].Close();
                continue;
            }
            onGone(i, ElapsedUsec(), EIO);
            m_handles[i].Close();
        }
        if (m_endRun)
            return true;
    }
}
