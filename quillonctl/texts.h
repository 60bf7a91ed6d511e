#pragma once

// The texts a person reads from quillonctl, in the user's language. quillonctl's own
// are looked up where they are shown, as Translate("quillonctl", "literal"), so that
// scripts/update-translations finds them; the layers' status texts are shown through
// ShownStatus. What is compared, recorded or written as JSON stays as it stands.

#include <string>
#include <string_view>

#include "app/translation.h"
#include "platform/text/translatable.h"

// A translation keeps its source's conversions, in order (the catalogue is checked for
// it): the compiler checks the arguments of a translated format against its source.
[[gnu::format_arg(2)]] const char* Translate(const char* context, const char* text);

// A status or verdict text of the layers below (kStatusTextContext), as shown.
inline const char* ShownStatus(const char* text) {
    return Translate(kStatusTextContext, text);
}

// The first `bytes` bytes of UTF-8 `text` or fewer, never ending inside a character
// (a translation's, a label's).
std::string_view Utf8Prefix(std::string_view text, std::size_t bytes);

// printf(3) into a string.
[[gnu::format(printf, 1, 2)]] std::string Format(const char* format, ...);
