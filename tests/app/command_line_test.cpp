#include "app/command_line.h"

#include <gtest/gtest.h>

namespace tarvel {
namespace {

TEST(ParseCommandLine, OptionsAndTheLanguageTheyChoose) {
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    bool portable;
    LanguageId language;
  } rows[] = {
      {"nothing", {}, false, kUserDefaultLanguage},
      {"portable with a dash", {"-p"}, true, kUserDefaultLanguage},
      {"portable with a slash", {"/P"}, true, kUserDefaultLanguage},
      {"German", {"-l", "de"}, false, 0x0407},
      {"English in capitals", {"/l", "EN"}, false, 0x0409},
      {"Breton, the last primary language", {"-l", "br"}, false, 0x047E},
      {"unknown name gives the user default", {"-l", "xx"}, false, kUserDefaultLanguage},
      {"missing value gives the user default", {"-l"}, false, kUserDefaultLanguage},
      {"neutral wins over a language", {"-l", "de", "-s"}, false, kNeutralLanguage},
      {"words without a dash are ignored", {"p", "s", "--p"}, false, kUserDefaultLanguage},
      {"all together", {"/s", "-p", "-l", "fr"}, true, kNeutralLanguage},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const CommandLine commandLine = ParseCommandLine(row.arguments);
    EXPECT_EQ(commandLine.portable, row.portable);
    EXPECT_EQ(commandLine.language(), row.language);
  }
}

}  // namespace
}  // namespace tarvel
