#include "platform/process/small_file.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/process/display_escape.h"

namespace {

std::string Describe(const struct stat& st) {
    if (S_ISDIR(st.st_mode))
        return "is a directory, not a file";
    if (S_ISFIFO(st.st_mode))
        return "is a FIFO, not a regular file";
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return "is a device, not a regular file";
    if (S_ISSOCK(st.st_mode))
        return "is a socket, not a regular file";
    return "is not a regular file";
}

void SetProblem(FileProblem* problem, const std::string& path, int error, std::string what,
                bool missing = false) {
    problem->error = error;
    problem->missing = missing;
    problem->message = EscapeForDisplay(path) + ": " + what;
    problem->what = std::move(what);
}

// Nothing at the path, or a symbolic link whose target is missing: only the first is
// a missing file, so a broken link never passes for one.
void SetNotFound(FileProblem* problem, const std::string& path) {
    struct stat link {};
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
        SetProblem(problem, path, ENOENT, "no such file", true);
        return;
    }
    std::string target(4096, '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    target.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    SetProblem(problem, path, ENOENT,
               "is a symbolic link to " + EscapeForDisplay(target) + ", which does not exist");
}

std::string ErrnoText(int error) {
    return std::strerror(error);
}

std::string TooLarge(std::uint64_t limit) {
    return "larger than " + std::to_string(limit) + " bytes";
}

}  // namespace

RegularFile::RegularFile(RegularFile&& other) noexcept
    : fd(std::exchange(other.fd, -1)),
      size(other.size),
      sizeKnown(other.sizeKnown),
      problem(std::move(other.problem)) {}

RegularFile& RegularFile::operator=(RegularFile&& other) noexcept {
    if (this != &other) {
        if (fd >= 0)
            ::close(fd);
        fd = std::exchange(other.fd, -1);
        size = other.size;
        sizeKnown = other.sizeKnown;
        problem = std::move(other.problem);
    }
    return *this;
}

RegularFile::~RegularFile() {
    if (fd >= 0)
        ::close(fd);
}

int RegularFile::Release() {
    return std::exchange(fd, -1);
}

RegularFile OpenRegularFile(const std::string& path, std::uint64_t maxBytes) {
    RegularFile file;
    FileProblem* problem = &file.problem;
    // Refused before open(): opening a device can act on it.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            SetNotFound(problem, path);
        else
            SetProblem(problem, path, errno, "cannot open: " + ErrnoText(errno));
        return file;
    }
    if (!S_ISREG(st.st_mode)) {
        SetProblem(problem, path, S_ISDIR(st.st_mode) ? EISDIR : EINVAL, Describe(st));
        return file;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT)
            SetNotFound(problem, path);
        else
            SetProblem(problem, path, errno, "cannot open: " + ErrnoText(errno));
        return file;
    }
    // What was opened may not be what stat() saw.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = errno;
        ::close(fd);
        if (S_ISREG(st.st_mode))
            SetProblem(problem, path, error, "cannot read: " + ErrnoText(error));
        else
            SetProblem(problem, path, S_ISDIR(st.st_mode) ? EISDIR : EINVAL, Describe(st));
        return file;
    }
    struct statfs fs {};
    if (::fstatfs(fd, &fs) == 0 && (fs.f_type == SYSFS_MAGIC || fs.f_type == PROC_SUPER_MAGIC))
        file.sizeKnown = false;
    file.size = static_cast<std::uint64_t>(st.st_size);
    if (file.sizeKnown && file.size > maxBytes) {
        ::close(fd);
        SetProblem(problem, path, EFBIG, TooLarge(maxBytes));
        return file;
    }
    file.fd = fd;
    return file;
}

bool ReadSmallFile(const std::string& path, std::size_t limit, std::string* out,
                   FileProblem* problem) {
    FileProblem local;
    if (problem == nullptr)
        problem = &local;
    *problem = {};
    out->clear();
    RegularFile file = OpenRegularFile(path, limit);
    if (!file.ok()) {
        *problem = std::move(file.problem);
        errno = problem->error;
        return false;
    }
    // One byte more than the limit tells a file at the limit from a larger one.
    char chunk[4096];
    while (out->size() <= limit) {
        const std::size_t want = std::min(sizeof chunk, limit + 1 - out->size());
        const ssize_t n = ::read(file.fd, chunk, want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            SetProblem(problem, path, errno, "cannot read: " + ErrnoText(errno));
            out->clear();
            errno = problem->error;
            return false;
        }
        if (n == 0)
            break;
        out->append(chunk, static_cast<std::size_t>(n));
    }
    if (out->size() > limit) {
        SetProblem(problem, path, EFBIG, TooLarge(limit));
        out->clear();
        errno = EFBIG;
        return false;
    }
    return true;
}

std::string ReadSmallFile(const std::string& path, std::size_t limit) {
    std::string text;
    if (!ReadSmallFile(path, limit, &text))
        text.clear();
    return text;
}

const char* FileKindText(mode_t mode) {
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}
