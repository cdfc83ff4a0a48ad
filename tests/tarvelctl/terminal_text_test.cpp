#include "tarvelctl/terminal_text.h"

#include <gtest/gtest.h>

namespace tarvel::ctl {
namespace {

TEST(TerminalText, WritesNoControlCharacterItDidNotMake) {
  struct Case {
    const char* name;
    std::u16string_view text;
    LineBreaks lineBreaks;
    const char* expected;
  };
  const Case cases[] = {
      {"window title and bell", u"\x1B]0;owned\x07", LineBreaks::Escape, "\\x1b]0;owned\\x07"},
      {"C1 sequence introducer", u"a\u009B2Jb", LineBreaks::Escape, "a\\x9b2Jb"},
      {"direction override", u"Bank \u202Egpj.exe", LineBreaks::Escape, "Bank \\u202egpj.exe"},
      {"outside line breaks", u"a\r\nb\tc", LineBreaks::Escape, "a\\r\\nb\\tc"},
      {"own line separators", u"one\rtwo\r", LineBreaks::Keep, "one\ntwo\n"},
      {"line feeds are outside text even then", u"a\nb", LineBreaks::Keep, "a\\nb"},
      {"ordinary text as UTF-8", u"Gr\u00FC\u00DFe \\ \U0001F600", LineBreaks::Escape,
       "Gr\xC3\xBC\xC3\x9F"
       "e \\ \xF0\x9F\x98\x80"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(TerminalText(Text(row.text), row.lineBreaks), row.expected);
  }
}

}  // namespace
}  // namespace tarvel::ctl
