#include "platform/display_text.h"

#include <gtest/gtest.h>

namespace tarvel {
namespace {

TEST(RemoveControlCharacters, DropsControlsAndInvisibleFormattingKeepsTheRest) {
  struct Case {
    const char* name;
    std::u16string input;
    std::u16string expected;
  };
  const Case cases[] = {
      {"terminal escape and bell", u"Hi\x1B[2J\x07 there", u"Hi[2J there"},
      {"C1 controls, CSI among them", u"a\u0080b\u009B31mc\u009F", u"ab31mc"},
      {"delete", u"x\x7Fy", u"xy"},
      {"right-to-left override disguising a sender", u"Bank \u202Egpj.exe\u202C", u"Bank gpj.exe"},
      {"isolates and marks", u"\u2066a\u2069\u2067b\u2068c\u200E\u200F\u061C", u"abc"},
      {"byte-order mark and annotations", u"\uFEFFx\uFFF9y\uFFFBz", u"xyz"},
      {"spacing controls become spaces",
       u"a\tb\x0B"
       u"c\fd\u2028e\u2029f\u0085g",
       u"a b c d e f g"},
      {"NUL", std::u16string(u"a\0b", 3), u"ab"},
      // Letters of every script, emoji with joiners and the zero-width joiners stay.
      {"ordinary text", u"Gr\u00FC\u00DFe \u05E9\u05DC\u05D5\u05DD \U0001F468\u200D\U0001F469",
       u"Gr\u00FC\u00DFe \u05E9\u05DC\u05D5\u05DD \U0001F468\u200D\U0001F469"},
      {"no-break space stays", u"a\u00A0b", u"a\u00A0b"},
      {"empty", u"", u""},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    Text text(row.input);
    RemoveControlCharacters(text);
    EXPECT_EQ(text.units(), row.expected);
    for (const char16_t unit : text.view())
      EXPECT_FALSE(IsControlCharacter(unit)) << static_cast<unsigned>(unit);
  }
}

TEST(EscapeHtml, TurnsMarkupCharactersIntoReferences) {
  struct Case {
    std::u16string input;
    std::u16string expected;
  };
  const Case cases[] = {
      {u"<b>bold</b>", u"&lt;b&gt;bold&lt;/b&gt;"},
      {u"Tom & Jerry", u"Tom &amp; Jerry"},
      // An entity in the text is shown as written, not interpreted.
      {u"&lt;script&gt;", u"&amp;lt;script&amp;gt;"},
      {u"say \"hi\" 'there'", u"say &quot;hi&quot; &#39;there&#39;"},
      {u"<img src=x onerror='alert(1)'>", u"&lt;img src=x onerror=&#39;alert(1)&#39;&gt;"},
      {u"plain \u00E4 \U0001F600", u"plain \u00E4 \U0001F600"},
      {u"", u""},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(Text(row.input).ToUtf8());
    EXPECT_EQ(EscapeHtml(Text(row.input)).units(), row.expected);
  }
}

}  // namespace
}  // namespace tarvel
