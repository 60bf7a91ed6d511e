#include "platform/hid/served_hid_tree.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "platform/hid/hid_device.h"
#include "platform/process/temp_tree.h"

namespace fs = std::filesystem;

namespace {

bool WriteFile(const fs::path& path, const void* data, std::size_t size, std::string* error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) {
        *error = "cannot write " + path.string();
        return false;
    }
    return true;
}

}  // namespace

int ServeHidNode(const std::string& path, unsigned mode, std::string* error) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        *error = "node path too long for a socket: " + path;
        return -1;
    }
    // The file the node's opens lock (see ServedNodeLockPath): readable by whoever may
    // open the node.
    const std::string lockPath = ServedNodeLockPath(path);
    const int lock = ::open(lockPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (lock < 0 || ::fchmod(lock, mode & 0444) != 0) {
        *error = "cannot make " + lockPath + ": " + std::strerror(errno);
        if (lock >= 0)
            ::close(lock);
        return -1;
    }
    ::close(lock);
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, path.size());
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0) {
        *error = "cannot serve " + path + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        ::unlink(lockPath.c_str());
        return -1;
    }
    ::chmod(path.c_str(), mode);
    return fd;
}

std::string HidUevent(std::uint16_t bus, std::uint16_t vendor, std::uint16_t product,
                      const std::string& name, const std::string& phys) {
    char id[64];
    std::snprintf(id, sizeof id, "HID_ID=%04X:%08X:%08X\n", bus, vendor, product);
    return std::string("DRIVER=hid-generic\n") + id + "HID_NAME=" + name + "\nHID_PHYS=" + phys +
           "\n";
}

ServedHidTree::~ServedHidTree() {
    Clear();
}

void ServedHidTree::Clear() {
    for (Node& node : m_nodes) {
        for (int fd : node.readers)
            ::close(fd);
        if (node.listener >= 0)
            ::close(node.listener);
    }
    m_nodes.clear();
    if (!m_root.empty()) {
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
        m_root.clear();
    }
}

bool ServedHidTree::Create(const std::vector<RecordedDevice>& devices, std::string* error) {
    Clear();
    try {
        m_root = MakeTempTree("replay-");
    } catch (const std::exception& e) {
        *error = e.what();
        return false;
    }
    m_sysRoot = m_root + "/sys";
    m_devRoot = m_root + "/dev";
    std::error_code ec;
    fs::create_directories(fs::path(m_sysRoot) / "class/hidraw", ec);
    fs::create_directories(m_devRoot, ec);
    if (ec) {
        *error = "cannot make " + m_root + ": " + ec.message();
        Clear();
        return false;
    }
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const RecordedDevice& d = devices[i];
        const fs::path dir =
            fs::path(m_sysRoot) / "class/hidraw" / ("hidraw" + std::to_string(i)) / "device";
        fs::create_directories(dir, ec);
        const std::string uevent = HidUevent(d.bus, d.vendor, d.product, d.name, d.phys);
        Node node;
        if (ec || !WriteFile(dir / "uevent", uevent.data(), uevent.size(), error) ||
            !WriteFile(dir / "report_descriptor", d.descriptor.data(), d.descriptor.size(),
                       error) ||
            // Readers are other processes, perhaps of another user (the window).
            (node.listener = ServeHidNode(NodePath(i), 0666, error)) < 0) {
            if (ec)
                *error = "cannot make " + dir.string() + ": " + ec.message();
            Clear();
            return false;
        }
        m_nodes.push_back(std::move(node));
    }
    // Every reader may look in, as in /sys and /dev.
    for (const fs::path& p : fs::recursive_directory_iterator(m_root, ec)) {
        if (fs::is_directory(p, ec))
            fs::permissions(p,
                            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec,
                            ec);
    }
    fs::permissions(m_root,
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                        fs::perms::others_read | fs::perms::others_exec,
                    ec);
    return true;
}

std::string ServedHidTree::NodePath(std::size_t device) const {
    return m_devRoot + "/hidraw" + std::to_string(device);
}

std::vector<int> ServedHidTree::Descriptors() const {
    std::vector<int> fds;
    for (const Node& node : m_nodes) {
        fds.push_back(node.listener);
        // A reader that hangs up makes its socket readable: it is dropped then.
        fds.insert(fds.end(), node.readers.begin(), node.readers.end());
    }
    return fds;
}

void ServedHidTree::Service() {
    for (Node& node : m_nodes) {
        int fd;
        while ((fd = ::accept4(node.listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >=
               0) {
            node.readers.push_back(fd);
            node.opened = true;
        }
        // Readers never write; anything readable on their end is their hang-up (or a
        // write to the device, which a recording does not answer).
        for (auto it = node.readers.begin(); it != node.readers.end();) {
            char byte;
            const ssize_t n = ::recv(*it, &byte, 1, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                ::close(*it);
                it = node.readers.erase(it);
            } else {
                ++it;
            }
        }
    }
}

bool ServedHidTree::Opened(std::size_t device) const {
    return device < m_nodes.size() && m_nodes[device].opened;
}

std::size_t ServedHidTree::Readers(std::size_t device) const {
    return device < m_nodes.size() ? m_nodes[device].readers.size() : 0;
}

bool ServedHidTree::Send(std::size_t device, std::span<const std::uint8_t> report) {
    if (device >= m_nodes.size()) {
        m_lastError = "no device " + std::to_string(device);
        return false;
    }
    // Like hidraw: a report nobody reads is gone, and a reader whose queue is full
    // misses it; neither ends the replay.
    Node& node = m_nodes[device];
    for (auto it = node.readers.begin(); it != node.readers.end();) {
        if (::send(*it, report.data(), report.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
            errno != EAGAIN && errno != EWOULDBLOCK) {
            ::close(*it);
            it = node.readers.erase(it);
        } else {
            ++it;
        }
    }
    return true;
}
