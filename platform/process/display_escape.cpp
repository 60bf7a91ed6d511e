#include "platform/process/display_escape.h"

#include <cstdint>

namespace {

void AppendHex(std::string& out, unsigned char byte) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
}

// The length of the well-formed UTF-8 sequence at the start of `text` (RFC 3629: no
// overlong forms, no surrogates, nothing above U+10FFFF) and its code point; 0 when the
// first byte does not start one.
std::size_t Utf8Sequence(std::string_view text, std::uint32_t& point) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    std::uint32_t min = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        point = lead & 0x1Fu;
        min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        point = lead & 0x0Fu;
        min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        point = lead & 0x07u;
        min = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        point = (point << 6) | (next & 0x3Fu);
    }
    if (point < min || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
        return 0;
    }
    return length;
}

// Code points a terminal acts on rather than shows, that reorder what follows, or
// that no text may carry (U+FFFE, U+FFFF: XML refuses them).
bool Unsafe(std::uint32_t point) {
    return (point >= 0x80 && point <= 0x9F) || (point >= 0x202A && point <= 0x202E) ||
           (point >= 0x2066 && point <= 0x2069) || point == 0xFFFE || point == 0xFFFF;
}

}  // namespace

std::string EscapeForDisplay(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const auto byte = static_cast<unsigned char>(text[0]);
        if (byte < 0x80) {
            switch (byte) {
                case '\t':
                    out += "\\t";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\\':
                    out += "\\\\";
                    break;
                default:
                    if (byte < 0x20 || byte == 0x7F) {
                        AppendHex(out, byte);
                    } else {
                        out += static_cast<char>(byte);
                    }
            }
            text.remove_prefix(1);
            continue;
        }
        std::uint32_t point = 0;
        const std::size_t length = Utf8Sequence(text, point);
        if (length == 0) {
            AppendHex(out, byte);
            text.remove_prefix(1);
            continue;
        }
        if (Unsafe(point)) {
            for (std::size_t i = 0; i < length; ++i) {
                AppendHex(out, static_cast<unsigned char>(text[i]));
            }
        } else {
            out.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return out;
}
