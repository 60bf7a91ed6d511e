#pragma once

// Text that came from outside (a line of a file, a path, a field of a recording) as it
// may be shown to a person: on a terminal, in a log, in a JSON finding. Printable ASCII
// and well-formed UTF-8 pass unchanged; everything a terminal could act on is spelt
// out, so a planted escape sequence is seen, never obeyed:
//   \t \n \r      as these C escapes, and a backslash as "\\" so escapes stay unambiguous
//   other C0 controls, DEL, C1 controls (U+0080..U+009F, which some terminals obey),
//   the bidirectional overrides and isolates (U+202A..U+202E, U+2066..U+2069), the
//   noncharacters U+FFFE and U+FFFF, and every byte that is not part of well-formed UTF-8
//                 as \xHH, byte by byte (ESC is "\x1b")
// Qt-free, no state.

#include <string>
#include <string_view>

std::string EscapeForDisplay(std::string_view text);
