#pragma once

// The one reader of the small files the programs take in: sysfs attributes, /proc
// entries, udev rules, the configuration, SN.ini; and the opening of larger ones
// (recordings) that are read as a stream.
//
// Only regular files are read. Anyone may plant a FIFO or a device where a file is
// expected (SN.ini in /tmp, a rule file): such a thing is refused from stat(), before it
// is opened, and the open itself never blocks and never takes a controlling terminal,
// so a swap between the two checks cannot hang the caller either. A file over its limit
// is refused before a byte is read; files of sysfs and /proc, which report no true size,
// once limit + 1 bytes have come in. Every refusal is one line naming the file, its path
// escaped for display.

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/types.h>

// Why a file could not be opened or read; error 0 when it could.
struct FileProblem {
    int error = 0;         // errno-style: ENOENT, EISDIR, EINVAL (not a regular file),
                           // EFBIG (over the limit), or what open() or read() said
    bool missing = false;  // nothing at all is at the path (a dangling link is not missing)
    std::string what;      // "is a FIFO, not a regular file", for callers with their own words
    std::string message;   // "<path>: <what>"
};

// A regular file opened for reading (O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY).
// Move-only; closes its descriptor unless it was released.
struct RegularFile {
    int fd = -1;
    std::uint64_t size = 0;  // st_size when opened
    bool sizeKnown = true;   // false on sysfs and /proc: read to the end to know
    FileProblem problem;     // set when fd < 0

    RegularFile() = default;
    RegularFile(RegularFile&& other) noexcept;
    RegularFile& operator=(RegularFile&& other) noexcept;
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;
    ~RegularFile();

    bool ok() const { return fd >= 0; }
    // Hands the descriptor over to the caller, who closes it.
    int Release();
};

// Opens `path` if it is a regular file of at most `maxBytes` bytes by its size.
RegularFile OpenRegularFile(const std::string& path, std::uint64_t maxBytes);

// Reads the whole file into *out. False (errno set, *problem filled when given) when it
// cannot be read, is not a regular file, or is larger than `limit` bytes (EFBIG).
bool ReadSmallFile(const std::string& path, std::size_t limit, std::string* out,
                   FileProblem* problem = nullptr);

// The contents, or "" when the file cannot be read or is too large.
std::string ReadSmallFile(const std::string& path, std::size_t limit = 1 << 16);

// What a file of `mode` is, for a refusal: "a FIFO", "a directory", "a character
// device", "a block device", "a socket", else "not a regular file".
const char* FileKindText(mode_t mode);
