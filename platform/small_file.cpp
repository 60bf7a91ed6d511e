#include "platform/small_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

bool ReadSmallFile(const std::string& path, std::size_t limit, std::string* out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    out->clear();
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = errno;
            ::close(fd);
            errno = error;
            return n == 0;
        }
        out->append(buffer, static_cast<std::size_t>(n));
        if (out->size() > limit) {
            ::close(fd);
            errno = EFBIG;
            return false;
        }
    }
}

std::string ReadSmallFile(const std::string& path, std::size_t limit) {
    std::string text;
    if (!ReadSmallFile(path, limit, &text))
        text.clear();
    return text;
}
