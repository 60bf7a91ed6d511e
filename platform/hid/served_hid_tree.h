#pragma once

// Recorded devices as a tree of served nodes, for readers pointed at it with
// QUILLON_SYSFS_ROOT and QUILLON_DEV_ROOT: <root>/sys/class/hidraw/hidrawN/device/
// holds each device's uevent (ids, name, physical path) and report descriptor, and
// <root>/dev/hidrawN is a listening SOCK_SEQPACKET socket that HidSystem opens in a
// node's place (a connection is an open, a message a report, a hang-up an unplug).
// Every reader gets every report, as with hidraw. Needs no privilege, no kernel
// module; the virtual kit is made the same way.
//
// The tree lives in a temporary folder removed with the object, or by a janitor when
// the process ends otherwise.

#include <string>
#include <vector>

#include "platform/hid/hid_replay.h"

class ServedHidTree final : public ReplayTarget {
public:
    ServedHidTree() = default;
    ~ServedHidTree() override;
    ServedHidTree(const ServedHidTree&) = delete;
    ServedHidTree& operator=(const ServedHidTree&) = delete;

    // hidraw0, hidraw1, ... for the recording's devices in order. False with the reason.
    bool Create(const std::vector<RecordedDevice>& devices, std::string* error);
    bool Create(const HidRecording& recording, std::string* error) {
        return Create(recording.devices, error);
    }

    const std::string& SysRoot() const { return m_sysRoot; }
    const std::string& DevRoot() const { return m_devRoot; }
    std::string NodePath(std::size_t device) const;

    std::vector<int> Descriptors() const override;
    void Service() override;
    bool Opened(std::size_t device) const override;
    bool Send(std::size_t device, std::span<const std::uint8_t> report) override;
    std::string LastError() const override { return m_lastError; }

    // Readers connected now.
    std::size_t Readers(std::size_t device) const;

private:
    struct Node {
        int listener = -1;
        std::vector<int> readers;
        bool opened = false;
    };
    void Clear();

    std::string m_root;
    std::string m_sysRoot;
    std::string m_devRoot;
    std::vector<Node> m_nodes;
    std::string m_lastError;
};

// A listening SOCK_SEQPACKET socket at `path` with `mode`, which HidSystem opens in a
// node's place, and the lock file beside it that its opens hold; -1 with the reason
// when they cannot be made. The virtual kit serves its receivers with it too.
int ServeHidNode(const std::string& path, unsigned mode, std::string* error);

// The uevent text sysfs shows for a HID device.
std::string HidUevent(std::uint16_t bus, std::uint16_t vendor, std::uint16_t product,
                      const std::string& name, const std::string& phys);
