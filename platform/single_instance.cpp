#include "platform/single_instance.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

SingleInstanceLock::SingleInstanceLock(const std::string& name) {
    // Per user, so another user's copy on the same machine does not lock this one out.
    char uid[24];
    std::snprintf(uid, sizeof uid, "%u", static_cast<unsigned>(getuid()));
    Bind(name, uid);
}

SingleInstanceLock::SingleInstanceLock(const std::string& name, const std::string& suffix) {
    Bind(name, suffix);
}

SingleInstanceLock::~SingleInstanceLock() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

// Allocates nothing, so it is safe in a child between fork() and exit.
void SingleInstanceLock::Bind(const std::string& name, const std::string& suffix) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // sun_path[0] stays NUL: the abstract namespace, which has no file to leave behind.
    const std::size_t length = 1 + name.size() + 1 + suffix.size();
    if (length > sizeof address.sun_path) {
        m_error = ENAMETOOLONG;
        return;
    }
    char* out = address.sun_path + 1;
    std::memcpy(out, name.data(), name.size());
    out += name.size();
    *out++ = '-';
    std::memcpy(out, suffix.data(), suffix.size());

    m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        m_error = errno;
        return;
    }
    // The length counts the bytes of the name exactly; abstract names are not
    // NUL-terminated, and trailing NULs would be part of the name.
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    if (bind(m_fd, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
        m_error = errno == EADDRINUSE ? kErrorAlreadyExists : errno;
        close(m_fd);
        m_fd = -1;
    }
}
