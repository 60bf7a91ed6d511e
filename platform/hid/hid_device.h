#pragma once

// Our stand-in for the HID and device-setup libraries, over Linux sysfs and hidraw.
//
// An interface is a `hidrawN` entry under `<sys root>/class/hidraw/`; its device path
// is `<dev root>/hidrawN`. Both roots are given at construction (real: /sys, /dev) so
// tests run this same code on a tree of their own.
//
// Opening without read or write access is a query: it touches only sysfs, so it needs
// no rights on the node. Opening with access opens the node itself; "exclusive" adds
// flock(LOCK_EX|LOCK_NB), because hidraw has no exclusive mode of its own and lets any
// number of readers open a node.
//
// A served node (a Unix socket in the node's place, see OpenNode) is a new socket per
// open, so a lock on it would bind no one else: its opens keep the file beside it
// (ServedNodeLockPath) open and lock that instead, which shows in /proc/locks and
// /proc/<pid>/fd as a real node's lock and open do.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/hid/hid_descriptor.h"

// An owned file descriptor; -1 while nothing is open.
class HidHandle {
public:
    HidHandle() = default;
    explicit HidHandle(int fd) : m_fd(fd) {}
    ~HidHandle() { Close(); }
    HidHandle(HidHandle&& other) noexcept
        : m_fd(std::exchange(other.m_fd, -1)), m_lock(std::exchange(other.m_lock, -1)) {}
    HidHandle& operator=(HidHandle&& other) noexcept;
    HidHandle(const HidHandle&) = delete;
    HidHandle& operator=(const HidHandle&) = delete;

    int Get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    // The descriptor is the caller's; a lock file held alongside is closed.
    int Release();
    // Keeps errno as it was, so a failure's cause survives the cleanup.
    void Close();
    // A served node's lock file, closed with the handle.
    void HoldLock(int fd);
    int LockFd() const { return m_lock >= 0 ? m_lock : m_fd; }

private:
    int m_fd = -1;
    int m_lock = -1;
};

// The file a served node's opens keep open and lock: ".hidrawN.lock" beside it.
std::string ServedNodeLockPath(const std::string& nodePath);

// Filled by HidSystem::OpenHidDevice.
struct HidDeviceInfo {
    std::string path;
    HidHandle handle;
    bool read = false;
    bool write = false;
    bool overlapped = false;  // O_NONBLOCK
    bool exclusive = false;   // flock(LOCK_EX) held
    // Only with the information flag:
    std::vector<std::uint8_t> preparsedData;  // the report descriptor
    HidCaps caps;
    HidAttributes attributes;
};

// Result codes of OpenHidDevice.
enum : std::int32_t {
    HID_OPEN_OK = 0,
    HID_OPEN_FAILED = -1,
    HID_OPEN_NO_MEMORY = -2,
    HID_OPEN_NO_DESCRIPTOR = -3,
    HID_OPEN_NO_ATTRIBUTES = -4,
    HID_OPEN_NO_CAPS = -5,
};

// The roots of the real tree: /sys and /dev, unless QUILLON_SYSFS_ROOT and
// QUILLON_DEV_ROOT name others (a virtual kit's tree, for tests and demonstrations).
std::string HidSysRootFromEnvironment();
std::string HidDevRootFromEnvironment();

class HidSystem {
public:
    HidSystem(std::string sysRoot, std::string devRoot);
    virtual ~HidSystem() = default;
    HidSystem(const HidSystem&) = delete;
    HidSystem& operator=(const HidSystem&) = delete;

    const std::string& SysRoot() const { return m_sysRoot; }
    const std::string& DevRoot() const { return m_devRoot; }

    // Names (`hidrawN`) of the interfaces present, by number. A missing class
    // directory means no HID device is present (an empty list); false, with errno,
    // when the list cannot be read.
    bool ListInterfaces(std::vector<std::string>* names) const;
    std::string DevicePath(const std::string& name) const { return m_devRoot + "/" + name; }

    // Returns 0 or one of the negative codes above; on failure `info` holds nothing
    // and errno tells the cause.
    std::int32_t OpenHidDevice(const char* path, bool read, bool write, bool overlapped,
                               bool exclusive, bool getInfo, HidDeviceInfo* info);

protected:
    // Opens a device node: open(), or a connection when the node is a Unix socket
    // that another process serves (the virtual kit). Tests put their own devices here.
    virtual int OpenNode(const std::string& path, int flags);

private:
    std::int32_t ReadInfo(const std::string& path, HidDeviceInfo* info) const;

    std::string m_sysRoot;
    std::string m_devRoot;
};

// An eventfd that ends a wait on another descriptor: Signal() from any thread.
class WakeSignal {
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    bool Valid() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }
    void Signal();
    void Drain();

private:
    int m_fd = -1;
};

enum class HidReadStatus {
    Report,   // `size` bytes of one report are in the buffer
    Timeout,  // nothing within the time-out (or a spurious wake-up): read again
    Woken,    // the wake-up descriptor fired
    Failed,   // end of the device: unplugged, EOF, error
};

struct HidReadResult {
    HidReadStatus status;
    std::size_t size = 0;
    int error = 0;
};

// Reads one input report with a time-out. Reports still queued when the device goes
// away are read first; the end shows once they are taken.
HidReadResult ReadHidReport(int fd, int wakeFd, std::span<std::uint8_t> buffer, int timeoutMs);
