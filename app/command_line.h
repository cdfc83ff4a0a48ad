#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "resources/string_table.h"

namespace tarvel {

// The options the program takes: "p" (portable), "s" (neutral language), "l NAME"
// (language by its ISO 639 name), each introduced by "-" or "/".
struct CommandLine {
  bool portable = false;
  bool neutralLanguage = false;
  std::optional<std::string> languageName;

  // The language for the string tables: neutral with "s"; the language named by "l" (its
  // default sub-language), else the user's default.
  LanguageId language() const;
};

CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// The primary language (1 to 126) whose ISO 639 name this is, ignoring letter case.
std::optional<uint16_t> PrimaryLanguageByIsoName(std::string_view isoName);

}  // namespace tarvel
