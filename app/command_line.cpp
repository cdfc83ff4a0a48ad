#include "app/command_line.h"

#include <array>

#include "platform/ascii_bytes.h"

namespace tarvel {

namespace {

// ISO 639 names of the primary languages 1 to 126, by their number; empty where no language
// has the number.
constexpr std::array<std::string_view, 127> kIsoNames = {
    "",    "ar",  "bg", "ca",  "zh",  "cs",  "da", "de",  "el", "en",  "es",  "fi",  "fr",
    "he",  "hu",  "is", "it",  "ja",  "ko",  "nl", "nb",  "pl", "pt",  "rm",  "ro",  "ru",
    "hr",  "sk",  "sq", "sv",  "th",  "tr",  "ur", "id",  "uk", "be",  "sl",  "et",  "lv",
    "lt",  "tg",  "fa", "vi",  "hy",  "az",  "eu", "hsb", "mk", "st",  "ts",  "tn",  "ve",
    "xh",  "zu",  "af", "ka",  "fo",  "hi",  "mt", "se",  "ga", "yi",  "ms",  "kk",  "ky",
    "sw",  "tk",  "uz", "tt",  "bn",  "pa",  "gu", "or",  "ta", "te",  "kn",  "ml",  "as",
    "mr",  "sa",  "mn", "bo",  "cy",  "km",  "lo", "my",  "gl", "kok", "mni", "sd",  "syr",
    "si",  "chr", "iu", "am",  "tzm", "ks",  "ne", "fy",  "ps", "fil", "dv",  "bin", "ff",
    "ha",  "ibb", "yo", "quz", "nso", "ba",  "lb", "kl",  "ig", "kr",  "om",  "ti",  "gn",
    "haw", "la",  "so", "ii",  "pap", "arn", "",   "moh", "",   "br",
};

constexpr uint16_t kDefaultSubLanguage = 1;

using ascii_bytes::EqualsNoCase;

}  // namespace

std::optional<uint16_t> PrimaryLanguageByIsoName(std::string_view isoName) {
  if (isoName.empty())
    return std::nullopt;
  for (uint16_t primary = 1; primary < kIsoNames.size(); ++primary) {
    if (EqualsNoCase(kIsoNames[primary], isoName))
      return primary;
  }
  return std::nullopt;
}

LanguageId CommandLine::language() const {
  if (neutralLanguage)
    return kNeutralLanguage;
  if (languageName) {
    if (const std::optional<uint16_t> primary = PrimaryLanguageByIsoName(*languageName)) {
      return static_cast<LanguageId>((kDefaultSubLanguage << 10) | *primary);
    }
  }
  return kUserDefaultLanguage;
}

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine result;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument.size() < 2 || (argument[0] != '-' && argument[0] != '/'))
      continue;
    const std::string_view option = std::string_view(argument).substr(1);
    if (EqualsNoCase(option, "p")) {
      result.portable = true;
    } else if (EqualsNoCase(option, "s")) {
      result.neutralLanguage = true;
    } else if (EqualsNoCase(option, "l")) {
      // The value follows as the next argument; a missing value names no language.
      if (i + 1 < arguments.size())
        result.languageName = arguments[++i];
    }
  }
  return result;
}

}  // namespace tarvel
