#include <gtest/gtest.h>

#include <string>

#include "platform/display_text.h"
#include "ui/notice/external_call.h"
#include "ui/notice/new_mail_notice.h"
#include "ui/notice/popup_page.h"

namespace tarvel {
namespace {

TEST(PopupTextTest, TitleNamesTheCountAndTheProgram) {
  EXPECT_EQ(PopupTitle(2).ToUtf8(), "2 new mails - Tarvel E-Mail Notifier");
  EXPECT_EQ(PopupTitle(1).ToUtf8(), "1 new mail - Tarvel E-Mail Notifier");
}

TEST(PopupTextTest, EachLineBecomesOneDivWithItsMarkupEscaped) {
  const Text newMailText = Text::FromUtf8(
      "Ann: <script>alert(1)</script>\r"
      "Bob: <img src=\"http://127.0.0.1/x\">\r"
      "Cy: Tom & Jerry &lt;3");
  const std::vector<Text> lines = SplitMailLines(newMailText);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(PopupTextFromLines(lines).ToUtf8(),
            "<div>Ann: &lt;script&gt;alert(1)&lt;/script&gt;</div>"
            // Quotes become references too: the same text, and safe inside an attribute.
            "<div>Bob: &lt;img src=&quot;http://127.0.0.1/x&quot;&gt;</div>"
            // An ampersand is escaped too, so "&lt;" in a subject stays four characters.
            "<div>Cy: Tom &amp; Jerry &amp;lt;3</div>");
}

TEST(PopupTextTest, EmptyLinesAreKeptAndNoTextHasNoLines) {
  EXPECT_TRUE(SplitMailLines(Text()).empty());
  EXPECT_EQ(SplitMailLines(Text(u"a\r\rb")).size(), 3u);
  EXPECT_EQ(PopupTextFromLines(SplitMailLines(Text(u"a\r"))).ToUtf8(), "<div>a</div><div></div>");
}

TEST(PopupPageTest, PlaceholdersFollowTheDpiFactor) {
  struct Row {
    double factor;
    const char* expected;
  };
  const Row rows[] = {
      {1.0, "500 32 8"},
      {1.5, "750 48 12"},
      {1.25, "625 40 10"},
      {2.0, "1000 64 16"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.factor);
    PopupPageValues values;
    values.dpiFactor = row.factor;
    EXPECT_EQ(FillPopupPage("@WIDTH@ @WIDTH_LOGO@ @WIDTH_CLOSE@", values), row.expected);
  }
}

TEST(PopupPageTest, ColoursTitleAndTextAreFilledOnce) {
  PopupPageValues values;
  values.title = Text(u"2 new mails <&>");
  // A mail line naming a placeholder keeps it: the page is filled in one pass.
  values.text = PopupTextFromLines({Text(u"@WIDTH@ @TITLE@")});
  values.textColor = 0x505050;
  values.backgroundColor = 0x0A0B0C;
  values.backgroundLogoColor = 0xF0F0F0;
  EXPECT_EQ(FillPopupPage("[@TITLE@|@TEXT@|@TEXT_COLOR@|@BACKGROUND_COLOR@|@BACKGROUND_LOGO_COLOR@"
                          "|@UNKNOWN@|a@b@]",
                          values),
            "[2 new mails &lt;&amp;&gt;|<div>@WIDTH@ @TITLE@</div>|#505050|#0A0B0C|#F0F0F0"
            "|@UNKNOWN@|a@b@]");
}

TEST(PopupPageTest, HtmlColourIsSixUpperCaseDigits) {
  EXPECT_EQ(HtmlColor(0xFCFCFC), "#FCFCFC");
  EXPECT_EQ(HtmlColor(0x0072C6), "#0072C6");
  EXPECT_EQ(HtmlColor(0xFF123456), "#123456");  // only the low 24 bits are a colour
}

TEST(PopupPageTest, ScaledPixelsTruncateAndStayInRange) {
  EXPECT_EQ(ScaledPixels(333, 1.5), 499u);
  EXPECT_EQ(ScaledPixels(0xFFFFFFFF, 2.0), 0xFFFFFFFFu);
  EXPECT_EQ(ScaledPixels(500, -1.0), 0u);
}

TEST(ExternalCallTest, OnlyTheThreeFormsAreCalls) {
  using M = ExternalCall::Method;
  struct Row {
    const char* onclick;
    std::optional<ExternalCall> expected;
  };
  const Row rows[] = {
      {"window.external.Open()", ExternalCall{M::Open, std::nullopt}},
      {"  window.external.Close() ", ExternalCall{M::Close, std::nullopt}},
      {"window.external.Open(7)", ExternalCall{M::Open, 7u}},
      {"window.external.Open(4294967295)", ExternalCall{M::Open, 4294967295u}},
      {"window.external.Open(4294967296)", std::nullopt},  // beyond 32 bits
      {"window.external.Open(-1)", std::nullopt},
      {"window.external.Open( 7)", std::nullopt},
      {"window.external.Open(7);alert(1)", std::nullopt},
      {"window.external.Close();window.external.Open()", std::nullopt},
      {"window.external.open()", std::nullopt},
      {"window.external.Navigate('http://x')", std::nullopt},
      {"alert(1)", std::nullopt},
      {"", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.onclick);
    EXPECT_EQ(ParseExternalCall(row.onclick), row.expected);
  }
}

TEST(CutTextTest, KeepsSurrogatePairsWhole) {
  EXPECT_EQ(CutText(Text(u"abcdef"), 4).ToUtf8(), "abcd");
  EXPECT_EQ(CutText(Text(u"ab"), 4).ToUtf8(), "ab");
  // "a" then U+1F600 (two code units): a cut after three units would split the pair.
  EXPECT_EQ(CutText(Text(u"ab\U0001F600c"), 3).ToUtf8(), "ab");
  EXPECT_EQ(CutText(Text(u"ab\U0001F600c"), 4).length(), 4);
}

}  // namespace
}  // namespace tarvel
