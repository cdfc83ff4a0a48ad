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

}  // namespace
}  // namespace tarvel
