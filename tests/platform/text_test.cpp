#include "platform/text.h"

#include <gtest/gtest.h>

#include <vector>

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

namespace tarvel {
namespace {

TEST(TextSearch, FindMatchesAtEveryPositionOfALongPage) {
  // Long enough for the vector loop, with near misses on either side of each block edge.
  std::u16string page(1000, u'x');
  page.replace(500, 4, u"<TD>");
  page.replace(7, 4, u"<tx>");
  page.replace(995, 5, u"<td> ");
  const Text text(page);
  EXPECT_EQ(text.Find(u"<td>"), 500);
  EXPECT_EQ(text.Find(u"<td>", 501), 995);
  EXPECT_EQ(text.Find(u"<td> "), 995);
  EXPECT_EQ(text.Find(u"<td>  "), Text::kNotFound);
  EXPECT_EQ(text.Find(u"X"), 0);
  EXPECT_EQ(text.Find(u">", 998), 998);
  for (Text::Position at = 0; at < 40; ++at) {
    std::u16string shifted(40, u'a');
    shifted.replace(static_cast<std::size_t>(at), 1, u"B");
    EXPECT_EQ(Text(shifted).Find(u"b"), at);
    EXPECT_EQ(Text(shifted).Find(u"aB"), at == 0 ? Text::kNotFound : at - 1);
  }
  const Text mixed(u"aBc AbC abc");
  EXPECT_EQ(mixed.FindLastNoCase(u"ABC"), 8);
  EXPECT_EQ(mixed.FindLastChar(u'b'), 9);
  EXPECT_EQ(mixed.FindCharNoCase(u'C'), 2);
  EXPECT_EQ(mixed.FindLastNoCase(u"abcd"), Text::kNotFound);
}

TEST(TextSearch, ExtractWalksBlocksAndHonoursTheLimit) {
  const Text query(u"?x=1&ID=42&y=1");
  Text value;
  EXPECT_EQ(query.Extract(u"id=", u"&", &value, 0), 10);
  EXPECT_EQ(value.view(), u"42");
  EXPECT_EQ(query.Extract(u"id=", u"&", &value, 0, 4), Text::kNotFound);  // marker beyond
  EXPECT_EQ(query.Extract(u"id=", u"&", &value, 0, 5), 10);               // marker at the limit
  EXPECT_EQ(query.Extract(u"id=", u"#", &value, 0), Text::kNotFound);
  EXPECT_EQ(query.Extract(u"y=", std::nullopt, &value, 0), query.length());
  EXPECT_EQ(value.view(), u"1");
  EXPECT_EQ(query.Extract(std::nullopt, u"&", &value, 1), 4);
  EXPECT_EQ(value.view(), u"x=1");
  EXPECT_EQ(query.Extract(u"x=", u"&", nullptr, 0), 4);

  const Text rows(u"<tr>a</tr><TR>b</TR><tr>c");
  std::u16string seen;
  Text cell;
  for (Text::Position at = 0; (at = rows.Extract(u"<tr>", u"</tr>", cell, at)) != Text::kNotFound;)
    seen += cell.view();
  EXPECT_EQ(seen, u"ab");
}

TEST(TextSearch, NextTokenSplitsQuotedTokens) {
  Text list(u",alpha;\"b,\\\"c\";gamma");
  Text token;
  std::vector<std::u16string> tokens;
  while (list.NextToken(token, u",;"))
    tokens.emplace_back(token.view());
  EXPECT_EQ(tokens, (std::vector<std::u16string>{u"alpha", u"b,\\\"c", u"gamma"}));
  EXPECT_TRUE(list.isEmpty());

  Text kept(u",\"q\",r");
  ASSERT_TRUE(kept.NextToken(token, u",", LeadingSeparators::Keep, TokenQuotes::Keep));
  EXPECT_TRUE(token.isEmpty());
  ASSERT_TRUE(kept.NextToken(token, u",", LeadingSeparators::Keep, TokenQuotes::Keep));
  EXPECT_EQ(token.view(), u"\"q\"");
  EXPECT_EQ(kept.view(), u"r");
  Text unclosed(u"\"open, rest");
  ASSERT_TRUE(unclosed.NextToken(token, u","));
  EXPECT_EQ(token.view(), u"\"open, rest");
}

TEST(TextEncoding, EncodeTextFlags) {
  const struct {
    std::u16string_view input;
    unsigned flags;
    std::u16string_view expected;
  } rows[] = {
      {u"a-b.C 9", kEncodePlain, u"a-b.C%209"},
      {u"a-b.C 9", kEncodeStrict, u"a%2Db%2EC%209"},
      {u"a&b=c", kEncodePlain, u"a&b=c"},
      {u"a&b=c", kEncodeAmpersand, u"a%26b=c"},
      {u"a&b=c", kEncodeAmpersand | kEncodeStrict, u"a%26b%3Dc"},
      {u"[_~]", kEncodePlain, u"%5B%5F%7E%5D"},
      {u"x y\u00E4", kEncodeCharacterReferences, u"x&#32;y&#228;"},
      {u"\u00E4\u20AC", kEncodePlain, u"%E4%E2%82%AC"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.input.begin(), row.input.end()));
    EXPECT_EQ(Text(row.input).EncodeText(row.flags).view(), row.expected);
  }
}

TEST(TextEncoding, MimeWords) {
  const struct {
    std::string input;
    std::u16string_view expected;
  } rows[] = {
      {"=?UTF-8?B?w6Q=?=", u"\u00E4"},
      {"=?utf-8?q?a=C3=A4_b?=\r\n =?UTF-8*de?Q?c?= d", u"a\u00E4 bc d"},
      {"x =?iso-8859-1?q?caf=E9?= y", u"x caf\u00E9 y"},  // other charsets: bytes as they are
      {"=?koi8-r?B?8NLJ18XU?=", u"\u041F\u0440\u0438\u0432\u0435\u0442"},
      {"=?windows-1251?Q?=CF=F0?=", u"\u041F\u0440"},
      {"=?iso-8859-5?Q?=BF?=", u"\u041F"},
      {"=?big5?B?pKQ=?=", u"\u4E2D"},
      {"=?a?q?x?= and =?a?q?y?=", u"x and y"},  // a gap with text stays
      {"=?a?x?y?= z", u"=?a?x?y?= z"},          // unknown encoding: not decoded
      {"broken =?utf-8?q?no end", u"broken =?utf-8?q?no end"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.input);
    Text text = Text::FromBytes(row.input);
    text.DecodeMimeWords();
    EXPECT_EQ(text.view(), row.expected);
  }
}

// Subjects as mail programs encode them, in every common charset: each decodes with the
// system's iconv by its own name; a charset nobody knows shows U+FFFD for its non-ASCII bytes.
TEST(TextEncoding, MimeWordsInEveryCharsetIconvKnows) {
  const struct {
    std::string input;
    std::u16string_view expected;
  } rows[] = {
      {"=?ISO-2022-JP?B?GyRCRnxLXDhsJE4lRiU5JUgbKEI=?=",
       u"\u65E5\u672C\u8A9E\u306E\u30C6\u30B9\u30C8"},
      {"=?Shift_JIS?B?grGC8YLJgr+CzQ==?=", u"\u3053\u3093\u306B\u3061\u306F"},
      {"=?GB2312?B?1tDOxNPKvP4=?=", u"\u4E2D\u6587\u90AE\u4EF6"},
      {"=?GBK?B?xOO6w6OsysC95w==?=", u"\u4F60\u597D\uFF0C\u4E16\u754C"},
      {"=?Big5?B?pKSk5bZspfM=?=", u"\u4E2D\u6587\u90F5\u4EF6"},
      {"=?KOI8-R?B?8NLJ18XU?=", u"\u041F\u0440\u0438\u0432\u0435\u0442"},
      {"=?windows-1252?Q?Preis:_5_=80?=", u"Preis: 5 \u20AC"},
      {"=?windows-1250?Q?Za=BF=F3=B3=E6?=", u"Za\u017C\u00F3\u0142\u0107"},
      {"=?windows-1256?B?49HNyMc=?=", u"\u0645\u0631\u062D\u0628\u0627"},
      {"=?ISO-8859-15?Q?Kosten_=A4?=", u"Kosten \u20AC"},
      {"=?EUC-KR?B?vsiz58fPvLy/5A==?=", u"\uC548\uB155\uD558\uC138\uC694"},
      {"=?iso-2022-jp*ja?B?GyRCRnxLXBsoQg==?=", u"\u65E5\u672C"},  // language suffix
      // Two charsets in one subject: each word by its own.
      {"=?windows-1252?Q?=80?= =?Shift_JIS?B?grGC8Q==?=", u"\u20AC\u3053\u3093"},
      // A character split over two words of one charset is joined again.
      {"=?Shift_JIS?Q?=82?= =?Shift_JIS?Q?=B1?=", u"\u3053"},
      {"=?x-unknown?Q?caf=E9?= ok", u"caf\uFFFD ok"},
      {"=?no/such?Q?caf=E9?=", u"caf\uFFFD"},  // not a charset name at all
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.input);
    Text text = Text::FromBytes(row.input);
    text.DecodeMimeWords();
    EXPECT_EQ(Text(text.view()).ToUtf8(), Text(row.expected).ToUtf8());
  }
}

TEST(TextEncoding, MimeWordsKeepTheCharactersAroundThem) {
  // A header line is read as characters; only the words' bytes are decoded with the charset.
  const struct {
    std::u16string_view input;
    std::u16string_view expected;
  } rows[] = {
      {u"Gr\u00FC\u00DFe =?UTF-8?B?w6Q=?=", u"Gr\u00FC\u00DFe \u00E4"},
      {u"caf\u00E9 =?koi8-r?B?8NLJ18XU?=", u"caf\u00E9 \u041F\u0440\u0438\u0432\u0435\u0442"},
      {u"\u00E9 =?utf-8?q?=C3?= =?utf-8?q?=A4?=", u"\u00E9 \u00E4"},  // split between words
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(Text(row.input).ToUtf8());
    Text text(row.input);
    text.DecodeMimeWords();
    EXPECT_EQ(text.view(), row.expected);
  }
}

TEST(TextEncoding, ImapFolderNames) {
  const struct {
    std::u16string_view decoded;
    std::u16string_view encoded;
  } rows[] = {
      {u"~peter/mail/\u53F0\u5317/\u65E5\u672C\u8A9E", u"~peter/mail/&U,BTFw-/&ZeVnLIqe-"},
      {u"Tom & Jerry", u"Tom &- Jerry"},
      {u"Entw\u00FCrfe", u"Entw&APw-rfe"},
      {u"\U0001F600", u"&2D3eAA-"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(Text(row.decoded).EncodeImapFolderName().view(), row.encoded);
    Text text(row.encoded);
    EXPECT_TRUE(text.DecodeImapFolderName());
    EXPECT_EQ(text.view(), row.decoded);
  }
  const std::u16string_view refused[] = {
      u"&AGE-",    // printable ASCII inside a run
      u"&2D0-",    // unpaired surrogate
      u"&AAo-",    // line feed
      u"a\tb",     // control character
      u"&U,BTFw",  // run never closed
      u"&U,B-",    // half a code unit
      u"&U*BTFw-",
  };
  for (const auto name : refused) {
    Text text(name);
    EXPECT_FALSE(text.DecodeImapFolderName());
    EXPECT_EQ(text.view(), name);
  }
}

TEST(TextEncoding, CodePages) {
  EXPECT_EQ(Text::FromCodePage("\xC3\xA4", code_page::kUtf8).view(), u"\u00E4");
  EXPECT_EQ(Text::FromCodePage("\xF0", code_page::kKoi8R).view(), u"\u041F");
  EXPECT_EQ(Text::FromCodePage("\x8E", code_page::kOem).view(), u"\u00C4");
  EXPECT_EQ(Text::FromCodePage("\x80", 1252).view(), u"\u20AC");
  EXPECT_EQ(Text::FromCodePage("a\xA4", code_page::kBig5).view(), u"a\uFFFD");  // cut
  EXPECT_EQ(Text::FromCodePage("\xC3\xA4", 99999).view(), u"\u00E4");           // unknown: system
  Text bytes = Text::FromBytes("\xC3\xA4");
  bytes.Append(u'\u20AC');
  bytes.Utf8Decode();
  EXPECT_EQ(bytes.view(), u"\u00E4\u20AC");
  EXPECT_EQ(Text(u"a\u00E4\u20AC").ToBytes(), "a\xE4\xAC");
}

}  // namespace
}  // namespace tarvel
