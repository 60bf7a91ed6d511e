#pragma once

// The fixed serial number the user keeps in "SN.ini" in the current directory: the
// first 9 bytes of the file, nothing else (no header, no NUL, no line end). Bytes
// after the ninth are ignored when read and left alone when written.

#include <cstddef>
#include <string_view>

#include "platform/process/fixed_serial_file.h"

// Fills `buffer` with the file's first 9 bytes and a NUL. False, with the buffer
// untouched, when the file is missing, is not a regular file, cannot be read, is
// larger than kMaxFixedSerialFile or is shorter than 9 bytes. The caller zero-fills the buffer
// first and takes it up to its first NUL, so a NUL inside the file shortens the serial.
bool ReadFixedSerial(char (&buffer)[kFixedSerialLength + 1]);

// Result of storing a serial. Opened: the file was opened or created (the dialog then
// shows the comparison controls); Written: all 9 bytes reached it.
struct FixedSerialWrite {
    bool opened = false;
    bool written = false;
};

// Writes exactly 9 bytes at offset 0, creating the file when it is missing and never
// truncating it. `serial` must be 9 bytes long.
FixedSerialWrite WriteFixedSerial(std::string_view serial);
