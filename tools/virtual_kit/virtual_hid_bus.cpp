#include "tools/virtual_kit/virtual_hid_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "platform/hid/served_hid_tree.h"
#include "platform/process/temp_tree.h"

namespace fs = std::filesystem;

// Every report starts with its report ID, as the receivers send it: 03 for the IR
// receiver's, 05 for the game pad's.
const Bytes kIrReceiverDescriptor = {
    0x06, 0x00, 0xFF,  // Usage Page (Vendor 0xFF00)
    0x09, 0x00,        // Usage (0)
    0xA1, 0x01,        // Collection (Application)
    0x85, 0x03,        //   Report ID (3)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x05,        //   Report Count (5)
    0x09, 0x00,        //   Usage (0)
    0x81, 0x02,        //   Input (Data, Variable, Absolute)
    0x95, 0x01,        //   Report Count (1)
    0x09, 0x00,        //   Usage (0)
    0x91, 0x02,        //   Output (Data, Variable, Absolute)
    0xC0,              // End Collection
};

// The stick's axes run 0 to 7F, centred at 40; the buttons are the last two bytes,
// the first of them buttons 1 to 8.
const Bytes kGamePadDescriptor = {
    0x05, 0x01,  // Usage Page (Generic Desktop)
    0x09, 0x05,  // Usage (Game Pad)
    0xA1, 0x01,  // Collection (Application)
    0x85, 0x05,  //   Report ID (5)
    0x09, 0x01,  //   Usage (Pointer)
    0xA1, 0x00,  //   Collection (Physical)
    0x09, 0x30,  //     Usage (X)
    0x09, 0x31,  //     Usage (Y)
    0x15, 0x00,  //     Logical Minimum (0)
    0x25, 0x7F,  //     Logical Maximum (127)
    0x75, 0x08,  //     Report Size (8)
    0x95, 0x02,  //     Report Count (2)
    0x81, 0x02,  //     Input (Data, Variable, Absolute)
    0xC0,        //   End Collection
    0x05, 0x09,  //   Usage Page (Button)
    0x19, 0x01,  //   Usage Minimum (1)
    0x29, 0x10,  //   Usage Maximum (16)
    0x15, 0x00,  //   Logical Minimum (0)
    0x25, 0x01,  //   Logical Maximum (1)
    0x75, 0x01,  //   Report Size (1)
    0x95, 0x10,  //   Report Count (16)
    0x81, 0x02,  //   Input (Data, Variable, Absolute)
    0xC0,        // End Collection
};

const Bytes kVendorUsage1Descriptor = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF,
    0x00, 0x75, 0x08, 0x95, 0x06, 0x09, 0x01, 0x81, 0x02, 0xC0,
};

const Bytes kKeyboardDescriptor = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25,
    0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0,
};

std::string Uevent(std::uint16_t vendor, std::uint16_t product) {
    return HidUevent(3, vendor, product, "Test Receiver", "usb-0000:00:14.0-1/input0");
}

std::string OrvaneUevent() {
    return Uevent(0x0471, 0x0606);
}

std::string OrvaneIrUevent() {
    return HidUevent(3, 0x0471, 0x0606, "Orvane IR receiver", "usb-0000:00:14.0-1/input0");
}

std::string OrvaneGameUevent() {
    return HidUevent(3, 0x0471, 0x0606, "Orvane game receiver", "usb-0000:00:14.0-1/input1");
}

namespace {

void WriteFile(const fs::path& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

std::string Name(int n) {
    return "hidraw" + std::to_string(n);
}

void CloseAll(std::vector<int>& fds) {
    for (int fd : fds)
        ::close(fd);
    fds.clear();
}

}  // namespace

std::string VirtualHidBus::MakeTempRoot() {
    return MakeTempTree("hid-");
}

VirtualHidBus::VirtualHidBus(const std::string& devDir, KitNodes nodes)
    : VirtualHidBus(MakeTempRoot(), devDir, nodes) {}

VirtualHidBus::VirtualHidBus(const std::string& root, const std::string& devDir, KitNodes nodes)
    : HidSystem(root + "/sys", root + "/" + devDir), m_root(root), m_kind(nodes) {
    fs::create_directories(fs::path(SysRoot()) / "class/hidraw");
    fs::create_directories(DevRoot());
}

VirtualHidBus::~VirtualHidBus() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.Signal();
    if (m_acceptor.joinable())
        m_acceptor.join();
    for (auto& [path, node] : m_nodes) {
        CloseAll(node.peers);
        if (node.listener >= 0)
            ::close(node.listener);
    }
    std::error_code ignored;
    fs::remove_all(m_root, ignored);
}

std::string VirtualHidBus::NodePath(int n) const {
    return DevRoot() + "/" + Name(n);
}

void VirtualHidBus::AddInterface(int n, const std::string* uevent, const Bytes* descriptor) {
    const fs::path dir = fs::path(SysRoot()) / "class/hidraw" / Name(n) / "device";
    fs::create_directories(dir);
    if (uevent != nullptr)
        WriteFile(dir / "uevent", uevent->data(), uevent->size());
    if (descriptor != nullptr) {
        WriteFile(dir / "report_descriptor", descriptor->data(), descriptor->size());
    }
}

void VirtualHidBus::CreateNode(int n) {
    WriteFile(NodePath(n), "", 0);
}

void VirtualHidBus::AddDevice(int n, const std::string& uevent, const Bytes& descriptor) {
    AddInterface(n, &uevent, &descriptor);
    CreateNode(n);
}

void VirtualHidBus::PlugReceiver(int n, const Bytes& descriptor, bool denied,
                                 const std::string& uevent) {
    {
        std::lock_guard lock(m_mutex);
        Node& node = m_nodes[NodePath(n)];
        node.plugged = true;
        node.denied = denied;
    }
    if (m_kind == KitNodes::Served) {
        AddInterface(n, &uevent, &descriptor);
        ServeNode(n, denied);
        return;
    }
    AddDevice(n, uevent, descriptor);
}

void VirtualHidBus::ServeNode(int n, bool denied) {
    const std::string path = NodePath(n);
    std::string error;
    const int fd = ServeHidNode(path, denied ? 0 : 0660, &error);
    if (fd < 0)
        throw std::runtime_error(error);
    std::lock_guard lock(m_mutex);
    m_nodes[path].listener = fd;
    if (!m_acceptor.joinable())
        m_acceptor = std::thread([this] { Accept(); });
    m_wake.Signal();
}

void VirtualHidBus::Accept() {
    for (;;) {
        std::vector<pollfd> fds{{m_wake.Fd(), POLLIN, 0}};
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping)
                return;
            for (const auto& [path, node] : m_nodes) {
                if (node.listener >= 0)
                    fds.push_back({node.listener, POLLIN, 0});
            }
        }
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            return;
        m_wake.Drain();
        std::lock_guard lock(m_mutex);
        for (auto& [path, node] : m_nodes) {
            if (node.listener < 0)
                continue;
            int conn;
            while ((conn = ::accept4(node.listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
                node.peers.push_back(conn);
                ++node.opens;
                ++m_nodeOpenCalls;
                m_changed.notify_all();
            }
        }
    }
}

void VirtualHidBus::Grant(int n) {
    {
        std::lock_guard lock(m_mutex);
        m_nodes[NodePath(n)].denied = false;
    }
    std::error_code ec;
    fs::permissions(NodePath(n), fs::perms::owner_read | fs::perms::owner_write |
                                     fs::perms::group_read | fs::perms::group_write);
    if (m_kind == KitNodes::Served)
        fs::permissions(ServedNodeLockPath(NodePath(n)),
                        fs::perms::owner_read | fs::perms::group_read, ec);
}

void VirtualHidBus::Unplug(int n) {
    std::error_code ignored;
    fs::remove_all(fs::path(SysRoot()) / "class/hidraw" / Name(n), ignored);
    fs::remove(NodePath(n), ignored);
    fs::remove(ServedNodeLockPath(NodePath(n)), ignored);
    std::lock_guard lock(m_mutex);
    Node& node = m_nodes[NodePath(n)];
    node.plugged = false;
    CloseAll(node.peers);
    if (node.listener >= 0)
        ::close(node.listener);
    node.listener = -1;
    m_wake.Signal();
}

void VirtualHidBus::HangUp(int n) {
    std::lock_guard lock(m_mutex);
    CloseAll(m_nodes[NodePath(n)].peers);
}

bool VirtualHidBus::Send(int n, const Bytes& report) {
    std::lock_guard lock(m_mutex);
    Node& node = m_nodes[NodePath(n)];
    bool taken = false;
    // An open its opener has closed since is dropped on the way.
    for (auto it = node.peers.begin(); it != node.peers.end();) {
        if (::send(*it, report.data(), report.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(report.size())) {
            taken = true;
            ++it;
        } else if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) {
            ::close(*it);
            it = node.peers.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

int VirtualHidBus::Opens(int n) const {
    std::lock_guard lock(m_mutex);
    auto it = m_nodes.find(NodePath(n));
    return it == m_nodes.end() ? 0 : it->second.opens;
}

bool VirtualHidBus::WaitForOpens(int n, int count, std::chrono::milliseconds timeout) const {
    const std::string path = NodePath(n);
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] {
        auto it = m_nodes.find(path);
        return it != m_nodes.end() && it->second.opens >= count;
    });
}

int VirtualHidBus::NodeOpenCalls() const {
    std::lock_guard lock(m_mutex);
    return m_nodeOpenCalls;
}

int VirtualHidBus::OpenNode(const std::string& path, int flags) {
    std::unique_lock lock(m_mutex);
    ++m_nodeOpenCalls;
    auto it = m_nodes.find(path);
    if (it == m_nodes.end() || !it->second.plugged) {
        lock.unlock();
        return HidSystem::OpenNode(path, flags);
    }
    if (it->second.denied) {
        errno = EACCES;
        return -1;
    }
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return -1;
    if (flags & O_NONBLOCK)
        ::fcntl(pair[0], F_SETFL, ::fcntl(pair[0], F_GETFL) | O_NONBLOCK);
    Node& node = it->second;
    node.peers.push_back(pair[1]);
    ++node.opens;
    m_changed.notify_all();
    return pair[0];
}
