#include "resources/string_table.h"

#include <gtest/gtest.h>

namespace tarvel {
namespace {

TEST(StringTable, TextsByIdWithTheirInserts) {
  EXPECT_EQ(LoadString(1).view(), u"No unread mails");
  EXPECT_EQ(LoadString(50).view(), u"More Options");
  EXPECT_TRUE(LoadString(0).isEmpty());
  EXPECT_TRUE(LoadString(51).isEmpty());
  EXPECT_EQ(LoadString(23, 0x0407).view(), u"Check Now");  // no German table: English
  EXPECT_EQ(FormatString(LoadString(3), 12).view(), u"12 new mails");
  EXPECT_EQ(FormatString(LoadString(25), Text(u"IMAP #1")).view(), u"Check IMAP #1 for new mails");
  EXPECT_EQ(FormatString(LoadString(6), Text(u"%1")).view(), u"Last Check: %1");
}

}  // namespace
}  // namespace tarvel
