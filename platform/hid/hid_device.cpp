#include "platform/hid/hid_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <string_view>
#include <utility>

#include "platform/process/small_file.h"

namespace {

// Larger than any descriptor the kernel accepts (HID_MAX_DESCRIPTOR_SIZE is 4096).
constexpr std::size_t kMaxSysfsFile = 4096;

bool IsHidrawName(std::string_view name) {
    constexpr std::string_view kPrefix = "hidraw";
    if (!name.starts_with(kPrefix) || name.size() == kPrefix.size())
        return false;
    return std::all_of(name.begin() + kPrefix.size(), name.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

std::string_view BaseName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A socket opened at a node path that is a socket: the node is served.
bool IsServedNode(int fd, const std::string& path) {
    struct stat opened {};
    struct stat node {};
    return ::fstat(fd, &opened) == 0 && S_ISSOCK(opened.st_mode) &&
           ::stat(path.c_str(), &node) == 0 && S_ISSOCK(node.st_mode);
}

// Whole file, at most kMaxSysfsFile bytes; false when unreadable or larger.
bool ReadSmallFile(const std::string& path, std::vector<std::uint8_t>* out) {
    std::string text;
    if (!::ReadSmallFile(path, kMaxSysfsFile, &text))
        return false;
    out->assign(text.begin(), text.end());
    return true;
}

}  // namespace

HidHandle& HidHandle::operator=(HidHandle&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = std::exchange(other.m_fd, -1);
        m_lock = std::exchange(other.m_lock, -1);
    }
    return *this;
}

int HidHandle::Release() {
    const int saved = errno;
    if (m_lock >= 0)
        ::close(m_lock);
    m_lock = -1;
    errno = saved;
    return std::exchange(m_fd, -1);
}

void HidHandle::Close() {
    const int saved = errno;
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_lock >= 0)
        ::close(m_lock);
    m_fd = -1;
    m_lock = -1;
    errno = saved;
}

void HidHandle::HoldLock(int fd) {
    if (m_lock >= 0)
        ::close(m_lock);
    m_lock = fd;
}

std::string ServedNodeLockPath(const std::string& nodePath) {
    const std::size_t slash = nodePath.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    return nodePath.substr(0, base) + "." + nodePath.substr(base) + ".lock";
}

HidSystem::HidSystem(std::string sysRoot, std::string devRoot)
    : m_sysRoot(std::move(sysRoot)), m_devRoot(std::move(devRoot)) {}

bool HidSystem::ListInterfaces(std::vector<std::string>* names) const {
    names->clear();
    const std::string classDir = m_sysRoot + "/class/hidraw";
    DIR* dir = ::opendir(classDir.c_str());
    if (dir == nullptr)
        return errno == ENOENT;  // no hidraw device was ever bound
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (IsHidrawName(entry->d_name))
            names->emplace_back(entry->d_name);
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0) {
        errno = readError;
        return false;
    }
    // By number: hidraw2 before hidraw10.
    std::sort(names->begin(), names->end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return true;
}

namespace {

std::string FromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

}  // namespace

std::string HidSysRootFromEnvironment() {
    return FromEnvironment("QUILLON_SYSFS_ROOT", "/sys");
}

std::string HidDevRootFromEnvironment() {
    return FromEnvironment("QUILLON_DEV_ROOT", "/dev");
}

int HidSystem::OpenNode(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags);
    if (fd >= 0 || errno != ENXIO)
        return fd;
    // A Unix socket in the node's place is a receiver that another process serves
    // (the virtual kit): a connection is one open of the device, a message one report,
    // and the server closing it is an unplug.
    struct stat st {};
    sockaddr_un address{};
    if (::stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) ||
        path.size() >= sizeof address.sun_path) {
        errno = ENXIO;
        return -1;
    }
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, path.size());
    const int type = SOCK_SEQPACKET | SOCK_CLOEXEC | ((flags & O_NONBLOCK) ? SOCK_NONBLOCK : 0);
    const int sock = ::socket(AF_UNIX, type, 0);
    if (sock < 0)
        return -1;
    // connect() needs write access to the socket file, as open() would to the node.
    if (::connect(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        const int error = errno;
        ::close(sock);
        errno = error == ECONNREFUSED ? ENXIO : error;
        return -1;
    }
    return sock;
}

std::int32_t HidSystem::OpenHidDevice(const char* path, bool read, bool write, bool overlapped,
                                      bool exclusive, bool getInfo, HidDeviceInfo* info) {
    *info = HidDeviceInfo{};
    try {
        info->path = path;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return HID_OPEN_NO_MEMORY;
    }

    HidHandle handle;
    if (!read && !write) {
        // A query needs no rights on the node: the interface's sysfs directory
        // stands for the device.
        const std::string dir =
            m_sysRoot + "/class/hidraw/" + std::string(BaseName(path)) + "/device";
        handle = HidHandle(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    } else {
        int flags = (read && write) ? O_RDWR : (read ? O_RDONLY : O_WRONLY);
        flags |= O_CLOEXEC;
        if (overlapped)
            flags |= O_NONBLOCK;
        handle = HidHandle(OpenNode(info->path, flags));
        if (handle && IsServedNode(handle.Get(), info->path)) {
            // Without the file (a tree served before there was one) the open still
            // works, but no other process can see it or its lock.
            const int lock =
                ::open(ServedNodeLockPath(info->path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
            if (lock >= 0)
                handle.HoldLock(lock);
        }
        if (handle && exclusive && ::flock(handle.LockFd(), LOCK_EX | LOCK_NB) != 0) {
            handle.Close();
        }
    }
    if (!handle) {
        info->path.clear();
        return HID_OPEN_FAILED;
    }

    info->handle = std::move(handle);
    info->read = read;
    info->write = write;
    info->overlapped = overlapped;
    info->exclusive = exclusive && (read || write);
    if (!getInfo)
        return HID_OPEN_OK;

    const std::int32_t result = ReadInfo(info->path, info);
    if (result != HID_OPEN_OK) {
        const int saved = errno;
        *info = HidDeviceInfo{};
        errno = saved;
    }
    return result;
}

std::int32_t HidSystem::ReadInfo(const std::string& path, HidDeviceInfo* info) const {
    const std::string dir = m_sysRoot + "/class/hidraw/" + std::string(BaseName(path)) + "/device/";
    std::vector<std::uint8_t> uevent;
    if (!ReadSmallFile(dir + "report_descriptor", &info->preparsedData)) {
        return HID_OPEN_NO_DESCRIPTOR;
    }
    if (info->preparsedData.empty()) {
        errno = ENODATA;
        return HID_OPEN_NO_DESCRIPTOR;
    }
    std::optional<HidAttributes> attributes;
    if (ReadSmallFile(dir + "uevent", &uevent)) {
        attributes = ParseHidIdFromUevent(
            std::string_view(reinterpret_cast<const char*>(uevent.data()), uevent.size()));
    }
    if (!attributes) {
        errno = ENODATA;
        return HID_OPEN_NO_ATTRIBUTES;
    }
    const std::optional<HidCaps> caps = ParseTopLevelCollection(info->preparsedData);
    if (!caps) {
        errno = EINVAL;
        return HID_OPEN_NO_CAPS;
    }
    info->attributes = *attributes;
    info->caps = *caps;
    return HID_OPEN_OK;
}

WakeSignal::WakeSignal() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WakeSignal::~WakeSignal() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void WakeSignal::Signal() {
    const std::uint64_t one = 1;
    // Can only fail when the counter is saturated, which still leaves it readable.
    [[maybe_unused]] const ssize_t n = ::write(m_fd, &one, sizeof one);
}

void WakeSignal::Drain() {
    std::uint64_t value = 0;
    [[maybe_unused]] const ssize_t n = ::read(m_fd, &value, sizeof value);
}

HidReadResult ReadHidReport(int fd, int wakeFd, std::span<std::uint8_t> buffer, int timeoutMs) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const nfds_t count = wakeFd >= 0 ? 2 : 1;
    const int ready = ::poll(fds, count, timeoutMs);
    if (ready == 0)
        return {HidReadStatus::Timeout};
    if (ready < 0) {
        if (errno == EINTR)
            return {HidReadStatus::Timeout};
        return {HidReadStatus::Failed, 0, errno};
    }
    if (count == 2 && fds[1].revents != 0)
        return {HidReadStatus::Woken};

    const short events = fds[0].revents;
    if (events & POLLIN) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n > 0)
            return {HidReadStatus::Report, static_cast<std::size_t>(n)};
        if (n == 0)
            return {HidReadStatus::Failed};  // EOF
        if (errno == EAGAIN || errno == EINTR)
            return {HidReadStatus::Timeout};
        return {HidReadStatus::Failed, 0, errno};
    }
    if (events & (POLLERR | POLLHUP | POLLNVAL))
        return {HidReadStatus::Failed, 0, EIO};
    return {HidReadStatus::Timeout};
}
