#include "tests/support/mail_records.h"

#include <gtest/gtest.h>

namespace tarvel::testing {

std::vector<MailRecord> InboxRecords(const MailEngine& engine) {
  std::vector<MailRecord> records;
  for (const MailItem* item = engine.mails.first(); item; item = NodeList<MailItem>::next(item)) {
    EXPECT_TRUE(item->folder.isEmpty());
    records.push_back({item->sender.ToUtf8(), item->subject.ToUtf8(), item->date.ToUtf8()});
  }
  return records;
}

}  // namespace tarvel::testing
