#include "ui/tray/tray_tooltip.h"

#include <gtest/gtest.h>

namespace tarvel {
namespace {

TEST(TrayTooltip, CountTextTitleAndTheMailLines) {
  struct Case {
    uint32_t total;
    const char16_t* allMail;
    const char16_t* expected;
  };
  const Case cases[] = {
      {0, u"", u"No unread mails - Tarvel E-Mail Notifier"},
      {1, u"Ann - Hello", u"1 new mail - Tarvel E-Mail Notifier\r\rAnn - Hello"},
      {12, u"a - b\rc - d", u"12 new mails - Tarvel E-Mail Notifier\r\ra - b\rc - d"},
      {3, u"", u"3 new mails - Tarvel E-Mail Notifier"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.total);
    EXPECT_EQ(TrayTooltipText(row.total, Text(row.allMail)), std::u16string_view(row.expected));
  }
}

Text Repeat(std::size_t count, char16_t unit) {
  const std::u16string units(count, unit);
  return Text(std::u16string_view(units));
}

TEST(TrayTooltip, CutToWhatTheTrayShowsWithoutSplittingAPair) {
  const Text fits = Repeat(127, u'a');
  EXPECT_EQ(CutTrayTip(fits), fits.view());
  EXPECT_EQ(CutTrayTip(Repeat(400, u'b')).length(), 127);
  // A character outside the basic plane whose first half would be unit 127 is left out whole.
  std::u16string pair(126, u'c');
  pair += u"\U0001F4E7tail";
  const Text cut = CutTrayTip(Text(std::u16string_view(pair)));
  EXPECT_EQ(cut.length(), 126);
  EXPECT_EQ(cut, Repeat(126, u'c').view());
  // The full tooltip of a long mail list is cut as well.
  const Text tip = CutTrayTip(TrayTooltipText(5, Repeat(300, u'm')));
  EXPECT_EQ(tip.length(), 127);
  EXPECT_EQ(tip.Left(34), std::u16string_view(u"5 new mails - Tarvel E-Mail Notifi"));
}

TEST(TrayTooltip, AFailedAccountSaysWhyInItsOwnWords) {
  struct Case {
    CheckStatus status;
    const char16_t* reason;
    const char16_t* expected;
  };
  const Case cases[] = {
      {CheckStatus::Failure, u"the server refused the login",
       u"IMAP #1: the server refused the login"},
      {CheckStatus::Failure, u"", u"IMAP #1: the check failed"},
      {CheckStatus::LoginNeeded, u"", u"IMAP #1: a sign-in is needed"},
      {CheckStatus::Success, u"", u""},
      {CheckStatus::OutsideCheckHours, u"", u""},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(static_cast<int>(row.status));
    EXPECT_EQ(AccountFailureText(Text(u"IMAP #1"), row.status, Text(row.reason)),
              std::u16string_view(row.expected));
  }
}

// The failure line is the tooltip's last line and survives the cut to what the tray shows;
// the mail lines give way to it.
TEST(TrayTooltip, TheFailureLineComesLastAndIsNeverCutAway) {
  const Text failure(u"IMAP #1: the server refused the login");
  EXPECT_EQ(TrayTooltipText(0, Text(), failure),
            std::u16string_view(u"No unread mails - Tarvel E-Mail Notifier\r\r"
                                u"IMAP #1: the server refused the login"));
  EXPECT_EQ(TrayTooltipText(1, Text(u"Ann - Hello"), failure),
            std::u16string_view(u"1 new mail - Tarvel E-Mail Notifier\r\rAnn - Hello\r"
                                u"IMAP #1: the server refused the login"));
  // Without a failure the tooltip is the plain one.
  EXPECT_EQ(TrayTooltipText(2, Text(u"a - b"), Text()), TrayTooltipText(2, Text(u"a - b")).view());
  for (const std::size_t mailLength : {10u, 60u, 300u}) {
    SCOPED_TRACE(mailLength);
    const Text tip = CutTrayTip(TrayTooltipText(5, Repeat(mailLength, u'm'), failure));
    EXPECT_LE(tip.length(), kTrayTipMaxLength);
    const std::u16string_view units = tip.view();
    EXPECT_TRUE(units.ends_with(u"\rIMAP #1: the server refused the login"));
  }
  // A failure line longer than the tooltip keeps its start and the count line.
  const Text longFailure = CutTrayTip(TrayTooltipText(5, Text(u"x"), Repeat(400, u'f')));
  EXPECT_EQ(longFailure.length(), kTrayTipMaxLength);
  EXPECT_EQ(longFailure.Left(11), std::u16string_view(u"5 new mails"));
}

}  // namespace
}  // namespace tarvel
