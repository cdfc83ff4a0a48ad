#include "ui/tray_tooltip.h"

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

}  // namespace
}  // namespace tarvel
