#pragma once

// The one reader of "SN.ini", the file in the current directory that holds the fixed
// serial number in its first 9 bytes, for the window and for the doctor alike. Read
// through the small-file reader, so a FIFO, device or directory of that name, or a
// file far larger than a serial, is an unreadable file and never hangs the caller.

#include <cstddef>
#include <string>

#include "platform/process/small_file.h"

inline constexpr const char* kFixedSerialFile = "SN.ini";
inline constexpr std::size_t kFixedSerialLength = 9;
// A serial and perhaps a line end or a note; anything this large is not an SN.ini.
inline constexpr std::size_t kMaxFixedSerialFile = 64 * 1024;

// The file's first kFixedSerialLength bytes in *head (fewer when it is shorter). False,
// with *problem filled when given, when it is missing or cannot be read.
bool ReadFixedSerialFile(std::string* head, FileProblem* problem = nullptr);

// Fills `buffer` with the file's first 9 bytes and a NUL. False, with the buffer
// untouched, when the file is missing, is not a regular file, cannot be read, is
// larger than kMaxFixedSerialFile or is shorter than 9 bytes. The caller zero-fills the buffer
// first and takes it up to its first NUL, so a NUL inside the file shortens the serial.
bool ReadFixedSerial(char (&buffer)[kFixedSerialLength + 1]);
