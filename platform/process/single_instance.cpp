#include "platform/process/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "platform/process/trace.h"

namespace {

std::string RuntimeDirFromEnv() {
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    return dir != nullptr ? dir : "";
}

// Only a directory that this user owns and nobody else may enter keeps others from
// taking the lock file first.
bool PrivateDir(const std::string& dir) {
    struct stat st {};
    return !dir.empty() && dir.front() == '/' && ::stat(dir.c_str(), &st) == 0 &&
           S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
}

}  // namespace

SingleInstanceLock::SingleInstanceLock(const std::string& name)
    : SingleInstanceLock(name, RuntimeDirFromEnv()) {}

SingleInstanceLock::SingleInstanceLock(const std::string& name, const std::string& runtimeDir) {
    const int file = PrivateDir(runtimeDir) ? LockFile(runtimeDir, name) : ENOENT;
    if (file == kErrorAlreadyExists) {
        m_error = file;
        return;
    }
    // Also when the file is held: a copy that has no runtime directory looks here.
    const int socket = BindName(name);
    if (socket == kErrorAlreadyExists) {
        m_error = socket;
        if (m_file >= 0) {
            ::close(m_file);
            m_file = -1;
        }
        return;
    }
    m_error = file == 0 ? 0 : socket;
}

std::string SingleInstanceLock::LastError() const {
    if (m_error == 0)
        return {};
    if (m_error == kErrorAlreadyExists)
        return "another copy holds the lock";
    return std::strerror(m_error);
}

SingleInstanceLock::~SingleInstanceLock() {
    if (m_dropper.joinable()) {
        const char byte = 0;
        [[maybe_unused]] const ssize_t n = ::write(m_wake[1], &byte, 1);
        m_dropper.join();
    }
    for (int fd : m_wake) {
        if (fd >= 0)
            ::close(fd);
    }
    if (m_socket >= 0)
        ::close(m_socket);
    if (m_file >= 0)
        ::close(m_file);
}

int SingleInstanceLock::LockFile(const std::string& runtimeDir, const std::string& name) {
    const std::string path = runtimeDir + "/" + name + ".lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return errno;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno == EWOULDBLOCK ? kErrorAlreadyExists : errno;
        ::close(fd);
        return error;
    }
    m_file = fd;
    return 0;
}

int SingleInstanceLock::BindName(const std::string& name) {
    char uid[24];
    std::snprintf(uid, sizeof uid, "%u", static_cast<unsigned>(::getuid()));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // sun_path[0] stays NUL: the abstract namespace, which has no file to leave behind.
    const std::size_t length = 1 + name.size() + 1 + std::strlen(uid);
    if (length > sizeof address.sun_path)
        return ENAMETOOLONG;
    char* out = address.sun_path + 1;
    std::memcpy(out, name.data(), name.size());
    out += name.size();
    *out++ = '-';
    std::memcpy(out, uid, std::strlen(uid));
    // The length counts the bytes of the name exactly; abstract names are not
    // NUL-terminated, and trailing NULs would be part of the name.
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    const auto* target = reinterpret_cast<const sockaddr*>(&address);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    // Listening, so that a later copy can connect and ask who holds the name.
    if (::bind(fd, target, size) == 0 && ::listen(fd, 16) == 0) {
        m_socket = fd;
        StartDroppingProbes();
        return 0;
    }
    int error = errno;
    ::close(fd);
    if (error != EADDRINUSE)
        return error;

    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return errno;
    // A connect waits while the holder's queue is full, and whoever holds the name may
    // keep it full (backlog 0, nothing accepted): the wait is bounded, and it ends as
    // soon as there is room. (A non-blocking connect of a Unix socket cannot be polled
    // for; it fails with EAGAIN at once.)
    timeval wait{};
    wait.tv_sec = static_cast<time_t>(kInstanceProbeWait.count() / 1000);
    wait.tv_usec = static_cast<suseconds_t>((kInstanceProbeWait.count() % 1000) * 1000);
    ucred peer{};
    socklen_t peerSize = sizeof peer;
    const bool known = ::setsockopt(probe, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait) == 0 &&
                       ::connect(probe, target, size) == 0 &&
                       ::getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) == 0;
    ::close(probe);
    if (known && peer.uid == ::getuid())
        return kErrorAlreadyExists;
    // Anyone may bind any abstract name; a holder that is not this user (or will not
    // say who it is) is not a copy of this program and must not keep it from starting.
    if (known)
        Trace("[KEYWARDEN] Instance name held by uid %u, not this user: ignored",
              static_cast<unsigned>(peer.uid));
    else
        Trace("[KEYWARDEN] Instance name held by a process that does not answer: ignored");
    return EADDRINUSE;
}

void SingleInstanceLock::StartDroppingProbes() {
    // Without the thread the lock still holds; only refused copies beyond the queue's
    // length would then wait out their bound and run on.
    if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0 ||
        ::fcntl(m_socket, F_SETFL, ::fcntl(m_socket, F_GETFL) | O_NONBLOCK) != 0) {
        Trace("[KEYWARDEN] Instance probes are not answered: %s", std::strerror(errno));
        return;
    }
    try {
        m_dropper = std::thread([listener = m_socket, wake = m_wake[0]] {
            for (;;) {
                pollfd fds[2] = {{listener, POLLIN, 0}, {wake, POLLIN, 0}};
                if (::poll(fds, 2, -1) < 0) {
                    if (errno == EINTR)
                        continue;
                    return;
                }
                if (fds[1].revents != 0)
                    return;
                // A probe only needed to connect: its credentials came with that.
                int fd;
                while ((fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >=
                       0)
                    ::close(fd);
                // Out of descriptors, say: a pause, not a busy loop on a readable queue.
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                    errno != ECONNABORTED) {
                    pollfd pause{wake, POLLIN, 0};
                    if (::poll(&pause, 1, 100) > 0)
                        return;
                }
            }
        });
    } catch (const std::system_error& e) {
        Trace("[KEYWARDEN] Instance probes are not answered: %s", e.what());
    }
}
