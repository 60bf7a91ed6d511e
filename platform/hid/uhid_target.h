#pragma once

// Recorded devices made real through /dev/uhid: the kernel creates a HID device for
// each (with its name, physical path, ids and report descriptor) and its hidraw node,
// so everything above the kernel (Quillon's window, quillonctl watch) sees them as it
// would see the recorded ones. One open of /dev/uhid per device; closing it destroys
// the device.

#include <chrono>
#include <string>
#include <vector>

#include "platform/hid/hid_device.h"
#include "platform/hid/hid_replay.h"

class UhidTarget final : public ReplayTarget {
public:
    UhidTarget() = default;
    ~UhidTarget() override;
    UhidTarget(const UhidTarget&) = delete;
    UhidTarget& operator=(const UhidTarget&) = delete;

    // Creates every device of the recording and waits until the kernel has started
    // each. False, with what went wrong and how to get the right to /dev/uhid, when one
    // cannot be made; none is left then.
    bool Create(const std::vector<RecordedDevice>& devices, std::string* error,
                const std::string& uhidPath = "/dev/uhid");
    bool Create(const HidRecording& recording, std::string* error,
                const std::string& uhidPath = "/dev/uhid") {
        return Create(recording.devices, error, uhidPath);
    }
    // The same on descriptors already open, one per device: /dev/uhid's, or in tests
    // one end of a socket pair whose other end plays the kernel.
    bool CreateOn(const std::vector<RecordedDevice>& devices, std::vector<HidHandle> handles,
                  std::string* error);
    // Destroys the devices (their nodes go away).
    void Destroy();

    std::vector<int> Descriptors() const override;
    void Service() override;
    bool Opened(std::size_t device) const override;
    bool Send(std::size_t device, std::span<const std::uint8_t> report) override;
    std::string LastError() const override { return m_lastError; }

private:
    static constexpr std::chrono::milliseconds kStartTimeout{5000};

    struct Device {
        HidHandle fd;
        bool started = false;
        bool opened = false;
    };
    void Answer(Device& device);

    std::vector<Device> m_devices;
    std::string m_lastError;
};

// Why /dev/uhid cannot be written, and how to get it; "" when it can.
std::string UhidAccessProblem(const std::string& uhidPath = "/dev/uhid");
