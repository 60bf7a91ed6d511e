#pragma once

// Whole small files: sysfs attributes, /proc entries, udev rules. Those report no
// size, so they are read to their end.

#include <cstddef>
#include <string>

// False (errno set) when the file cannot be read, or EFBIG when it is larger than
// `limit` bytes.
bool ReadSmallFile(const std::string& path, std::size_t limit, std::string* out);

// The contents, or "" when the file cannot be read or is too large.
std::string ReadSmallFile(const std::string& path, std::size_t limit = 1 << 16);
