#pragma once

// The window's store of the fixed serial number the user keeps in "SN.ini" in the
// current directory: the first 9 bytes of the file, nothing else (no header, no NUL,
// no line end). Bytes after the ninth are left alone when written; reading is
// diagnosis/fixed_serial_file.h, which the doctor shares.

#include <cstddef>
#include <string_view>

#include "diagnosis/fixed_serial_file.h"

// Result of storing a serial. Opened: the file was opened or created (the dialog then
// shows the comparison controls); Written: all 9 bytes reached it.
struct FixedSerialWrite {
    bool opened = false;
    bool written = false;
};

// Writes exactly 9 bytes at offset 0, creating the file when it is missing and never
// truncating it. `serial` must be 9 bytes long.
FixedSerialWrite WriteFixedSerial(std::string_view serial);
