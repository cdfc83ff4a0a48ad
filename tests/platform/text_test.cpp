#include "platform/text.h"

#include <gtest/gtest.h>

namespace tarvel {
namespace {

TEST(Text, FindIgnoresAsciiCaseOnly) {
  const Text page(u"<TD class=x>caf\u00C9</td>");
  EXPECT_EQ(page.Find(u"<td"), 0);
  EXPECT_EQ(page.Find(u"</TD>"), 16);
  EXPECT_EQ(page.FindCase(u"</TD>"), Text::kNotFound);
  EXPECT_EQ(page.Find(u"caf\u00E9"), Text::kNotFound);  // only A-Z pair with a-z
  EXPECT_EQ(page.Find(u"td", 2), 18);
  EXPECT_EQ(page.Find(u"td", page.length()), Text::kNotFound);
  EXPECT_EQ(Text().Find(u"a"), Text::kNotFound);
  EXPECT_EQ(page.Find(u""), Text::kNotFound);
}

TEST(Text, ReplaceRepeatsUntilNoMatchIsLeftAndNeverLoops) {
  const struct {
    std::u16string_view input, find, replacement, expected;
  } rows[] = {
      {u"&amp;amp;amp;", u"&amp;", u"&", u"&"},
      {u"aaa", u"a", u"aa", u"aaaaaa"},  // a replacement holding its own match: one pass
      {u"a-b-c", u"-", u"", u"abc"},
      {u"xyz", u"q", u"r", u"xyz"},
  };
  for (const auto& row : rows) {
    Text text(row.input);
    text.Replace(row.find, row.replacement);
    EXPECT_EQ(text.view(), row.expected);
  }
  Text mixed(u"HTTPS://Www.Host");
  mixed.ReplaceNoCase(u"https://", u"");
  mixed.ReplaceNoCase(u"www.", u"");
  EXPECT_EQ(mixed.view(), u"Host");
}

TEST(Text, Utf8RoundTripAndBadBytes) {
  const std::string utf8 = "a\xC3\xA4\xF0\x9F\x98\x80";
  EXPECT_EQ(Text::FromUtf8(utf8).view(), u"a\u00E4\U0001F600");
  EXPECT_EQ(Text::FromUtf8(utf8).ToUtf8(), utf8);
  EXPECT_EQ(Text::FromUtf8("\xC3").view(), u"\uFFFD");      // cut sequence
  EXPECT_EQ(Text::FromUtf8("\xC0\xAF").view(), u"\uFFFD");  // overlong
  EXPECT_EQ(Text::FromUtf8(std::string("a\0b", 3)).view(), u"ab");
  EXPECT_EQ(Text(u"\xD800").ToUtf8(), "\xEF\xBF\xBD");  // lone surrogate
}

TEST(Text, TrimAndCompareLogical) {
  Text text(u" \t\u00A0word\r\n");
  text.Trim();
  EXPECT_EQ(text.view(), u"word");
  EXPECT_LT(Text::CompareLogical(u"file9", u"file10"), 0);
  EXPECT_EQ(Text::CompareLogical(u"ABC", u"abc"), 0);
  EXPECT_GT(Text::CompareLogical(u"2024-01-03", u"2024-01-02T23:59"), 0);
  EXPECT_LT(Text::CompareLogical(u"", u"1"), 0);
  EXPECT_LT(Text::CompareLogical(u"x99999999999999999999", u"x100000000000000000000"), 0);
}

}  // namespace
}  // namespace tarvel
