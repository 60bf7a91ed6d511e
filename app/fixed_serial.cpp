#include "app/fixed_serial.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/process/trace.h"

namespace {

// For writing. O_NONBLOCK keeps a FIFO or device that someone named SN.ini from
// hanging the window thread in open(); anything but a regular file counts as absent.
int OpenRegular(int flags, mode_t mode) {
    int fd = ::open(kFixedSerialFile, flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, mode);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

}  // namespace

FixedSerialWrite WriteFixedSerial(std::string_view serial) {
    FixedSerialWrite result;
    if (serial.size() != kFixedSerialLength)
        return result;
    int fd = OpenRegular(O_WRONLY | O_CREAT, 0666);
    if (fd < 0) {
        Trace("[KEYWARDEN] Can't open %s for writing: %s", kFixedSerialFile, std::strerror(errno));
        return result;
    }
    result.opened = true;
    std::size_t put = 0;
    while (put < serial.size()) {
        ssize_t n = ::pwrite(fd, serial.data() + put, serial.size() - put, static_cast<off_t>(put));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        put += static_cast<std::size_t>(n);
    }
    result.written = put == serial.size();
    if (!result.written) {
        Trace("[KEYWARDEN] Writing %s failed: %s", kFixedSerialFile, std::strerror(errno));
    }
    ::close(fd);
    return result;
}
