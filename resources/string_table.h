#pragma once

#include <cstdint>
#include <string_view>

#include "platform/text.h"

namespace tarvel {

// A language identifier in the form the string tables are keyed by: the primary language in
// the low 10 bits, the sub-language above it. 0 is the neutral language (the tables' own
// default), 0x400 the user's default.
using LanguageId = uint16_t;
inline constexpr LanguageId kNeutralLanguage = 0;
inline constexpr LanguageId kUserDefaultLanguage = 0x400;

// The program's title: the main window's, the tray's and the instance name's.
inline constexpr std::u16string_view kProgramTitle = u"Tarvel E-Mail Notifier";

inline constexpr uint32_t kFirstStringId = 1;
inline constexpr uint32_t kLastStringId = 50;

// The user-visible text with this id (1 to 50) in the language; languages without a table of
// their own, and the neutral and user-default languages, use English. Empty for other ids.
Text LoadString(uint32_t id, LanguageId language = kUserDefaultLanguage);

// Fills the inserts "%1!u!" (a number) and "%1" (a text, given as the number's decimal form
// when a number is passed) of a string-table text. Only insert 1 is used by the tables.
Text FormatString(const Text& pattern, uint32_t number);
Text FormatString(const Text& pattern, const Text& text);

}  // namespace tarvel
