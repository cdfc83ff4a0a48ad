#include "app/new_mail_walk.h"

#include <gtest/gtest.h>

#include "tests/support/recording_notifier.h"
#include "tests/support/scripted_engine.h"

namespace tarvel {
namespace {

using testing::RecordingNotifier;
using testing::ScriptedEngine;

void Fill(ScriptedEngine& engine, std::initializer_list<std::u16string_view> dates) {
  engine.mails.clear();
  int index = 0;
  for (const std::u16string_view date : dates) {
    const std::u16string subject = u"m" + std::u16string(1, static_cast<char16_t>(u'0' + index++));
    engine.AddMail(std::make_unique<MailItem>(u"s", subject, u"", date), MailOrder::AsReported);
  }
}

TEST(WalkNewMail, WatermarkDecidesWhatIsNew) {
  struct Row {
    const char* name;
    std::u16string watermark;
    std::initializer_list<std::u16string_view> dates;
    uint32_t expectedNew;
    std::u16string expectedWatermark;
  };
  const Row rows[] = {
      {"only the later record is new",
       u"2024-01-02T10:00:00Z",
       {u"2024-01-03", u"2024-01-02T10:00:00Z", u"2024-01-01"},
       1,
       u"2024-01-03"},
      {"first check: everything is new", u"", {u"2024-01-03", u"2024-01-02"}, 2, u"2024-01-03"},
      {"an empty date ends the run", u"", {u"2024-01-03", u"", u"2024-01-05"}, 1, u"2024-01-03"},
      {"a seen record ends the run for later ones",
       u"2024-01-02",
       {u"2024-01-03", u"2024-01-01", u"2024-01-09"},
       1,
       u"2024-01-03"},
      {"watermark is the first non-empty date", u"", {u"", u"2024-01-05"}, 0, u"2024-01-05"},
      {"an empty list resets the watermark", u"2024-01-02", {}, 0, u""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedEngine engine(kAccountTypes[0]);
    RecordingNotifier notifier;
    CheckTotals totals;
    Fill(engine, row.dates);
    engine.newestSeenDate = row.watermark;
    EXPECT_EQ(WalkNewMail(engine, totals, false, notifier), row.expectedNew);
    EXPECT_EQ(totals.newCount, row.expectedNew);
    EXPECT_EQ(engine.newestSeenDate.view(), std::u16string_view(row.expectedWatermark));
    EXPECT_EQ(notifier.eventsStartingWith("row").size(), row.dates.size());
  }
}

TEST(WalkNewMail, TwelveNewRecordsGiveEightLines) {
  ScriptedEngine first(kAccountTypes[0]);
  ScriptedEngine second(kAccountTypes[2]);
  Fill(first, {u"9", u"8", u"7", u"6", u"5"});
  Fill(second, {u"9", u"8", u"7", u"6", u"5", u"4", u"3"});
  RecordingNotifier notifier;
  CheckTotals totals;
  WalkNewMail(first, totals, false, notifier);
  WalkNewMail(second, totals, false, notifier);
  EXPECT_EQ(totals.newCount, 12u);
  size_t lines = 1;
  for (char16_t unit : totals.newMailText.view())
    lines += unit == u'\r';
  EXPECT_EQ(lines, 8u);
  size_t allLines = 1;
  for (char16_t unit : totals.allMailText.view())
    allLines += unit == u'\r';
  EXPECT_EQ(allLines, 12u);
}

TEST(WalkNewMail, EmptyRecordCountsButAddsNoLine) {
  ScriptedEngine engine(kAccountTypes[0]);
  engine.AddMail(std::make_unique<MailItem>(u"", u"", u"", u"2024-01-01"), MailOrder::AsReported);
  RecordingNotifier notifier;
  CheckTotals totals;
  EXPECT_EQ(WalkNewMail(engine, totals, false, notifier), 1u);
  EXPECT_TRUE(totals.newMailText.isEmpty());
  EXPECT_TRUE(totals.allMailText.isEmpty());
}

}  // namespace
}  // namespace tarvel
