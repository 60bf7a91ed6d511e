#pragma once

// The language of the texts a person reads, for both front ends. The source texts
// (Chinese, and the English ones added beside them) show under the C/POSIX locale or
// a language without a catalogue; a language with a catalogue (i18n/) shows its
// translation: Chinese's translates only the texts added in English. Qt-free, so that
// quillonctl can use it.

#include <string>
#include <vector>

// Picks the catalogue from the user's languages as Qt reads them (LANGUAGE, LC_ALL,
// LC_MESSAGES, LANG, in that order), loads it once and, when a QCoreApplication
// exists, installs it there (tr() and the forms then use it). Returns the catalogue's
// language ("en", "zh"), or "" for the source texts. Call before any thread uses Translate.
std::string LoadTranslation();

// The catalogue LoadTranslation would choose for `languages` (Qt's names, "en-GB",
// "zh-Hans-CN", "C", most wanted first): its language ("en"), or "" for the source
// texts.
std::string CatalogueFor(const std::vector<std::string>& languages);

// `text` (UTF-8) in the chosen language, or `text` itself when there is none; what
// it returns lives as long as the program. Any thread.
const char* Translate(const char* context, const char* text);
