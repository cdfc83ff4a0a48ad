#include "app/bus_mail_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "accounts/account_type_list.h"
#include "app/check_cycle.h"
#include "app/manual_main_window.h"
#include "tests/support/fake_clock.h"
#include "tests/support/recording_notifier.h"
#include "tests/support/scripted_engine.h"

namespace tarvel {
namespace {

using testing::FakeClock;
using testing::FakeLoginRunner;
using testing::RecordingTrace;
using testing::Scripted;
using testing::ScriptedCheck;
using testing::ScriptedEngineFactory;
using testing::ScriptedMail;

constexpr uint32_t kGMail = 0x2;
constexpr uint64_t kGMailSelect = 0x80;
constexpr uint32_t kOutlook = 0x1;
constexpr uint64_t kOutlookSelect = 0x40;

std::vector<std::string> Subjects(const std::vector<BusMailRecord>& records) {
  std::vector<std::string> subjects;
  for (const BusMailRecord& record : records)
    subjects.push_back(record.subject);
  return subjects;
}

// The real check cycle with two scripted accounts; the interface's notifier is its observer.
class BusMailStateTest : public ::testing::Test {
 protected:
  void SetUp() override { flags.set(kGMailSelect | kOutlookSelect); }

  void Check(CheckTrigger trigger = CheckTrigger::Manual) { cycle.CheckAll(trigger); }

  OptionFlags flags{0};
  AccountTypeList accounts{flags, ScriptedEngineFactory()};
  ManualMainWindow window;
  FakeLoginRunner login;
  FakeClock clock;
  RecordingTrace trace;
  BusMailState state;
  int publications = 0;
  BusMailNotifier notifier{state, clock, [this] { ++publications; }};
  CheckCycle cycle{accounts, window, notifier, login, clock, trace};
};

TEST_F(BusMailStateTest, ChecksPublishEveryRecordAndMarkOnlyTheOnesTheCheckBeforeLacked) {
  Scripted(accounts, kGMail)
      .queue({CheckStatus::Success,
              {{"Bob", "Lunch", "INBOX", "2026-12-10"}, {"Eve", "Report", "Work", "2026-12-09"}}});
  Scripted(accounts, kGMail)
      .queue({CheckStatus::Success,
              {{"Ann", "Hello", "INBOX", "2026-12-11"}, {"Bob", "Lunch", "INBOX", "2026-12-10"}}});
  Scripted(accounts, kOutlook).queue({CheckStatus::Success, {{"Cy", "Memo", "", "2026-12-01"}}});
  EXPECT_EQ(state.snapshot().lastCheck, 0);

  clock.setUnixSeconds(1'800'000'000);
  Check();
  BusMailSnapshot first = state.snapshot();
  EXPECT_EQ(publications, 1);
  EXPECT_EQ(first.unreadCount, 3u);
  EXPECT_EQ(first.lastCheck, 1'800'000'000);
  ASSERT_EQ(first.records.size(), 3u);
  // Every field of the record, the account named by its type without a name of its own.
  const BusMailRecord& report = *std::find_if(first.records.begin(), first.records.end(),
                                              [](const auto& r) { return r.subject == "Report"; });
  EXPECT_EQ(report.sender, "Eve");
  EXPECT_EQ(report.folder, "Work");
  EXPECT_EQ(report.date, "2026-12-09");
  EXPECT_EQ(report.account, Text(Scripted(accounts, kGMail).name).ToUtf8());
  // The first check knows nothing before it: all is new.
  EXPECT_EQ(first.newRecords, first.records);

  // Report was read elsewhere, Hello arrived: only Hello is new; the ids of the records that
  // stayed do not change.
  clock.setUnixSeconds(1'800'000'060);
  Check();
  const BusMailSnapshot second = state.snapshot();
  EXPECT_EQ(second.unreadCount, 3u);
  EXPECT_EQ(second.lastCheck, 1'800'000'060);
  EXPECT_EQ(Subjects(second.newRecords), std::vector<std::string>{"Hello"});
  for (const BusMailRecord& record : second.records) {
    for (const BusMailRecord& old : first.records) {
      if (old.subject == record.subject) {
        EXPECT_EQ(old.id, record.id) << record.subject;
      }
    }
  }

  // The same mail again: nothing new, and still published (the check time moves on).
  Check();
  EXPECT_EQ(publications, 3);
  EXPECT_TRUE(state.snapshot().newRecords.empty());
}

TEST_F(BusMailStateTest, EqualRecordsAndEqualFieldsOfOtherAccountsGetIdsOfTheirOwn) {
  const ScriptedMail twin{"Bob", "Lunch", "INBOX", "2026-12-10"};
  Scripted(accounts, kGMail).queue({CheckStatus::Success, {twin, twin}});
  Scripted(accounts, kOutlook).queue({CheckStatus::Success, {twin}});
  Check();
  const BusMailSnapshot snapshot = state.snapshot();
  ASSERT_EQ(snapshot.records.size(), 3u);
  EXPECT_NE(snapshot.records[0].id, snapshot.records[1].id);
  EXPECT_NE(snapshot.records[0].id, snapshot.records[2].id);
  EXPECT_NE(snapshot.records[1].id, snapshot.records[2].id);
  EXPECT_EQ(snapshot.newRecords.size(), 3u);

  // One of the twins was read: the other is not new.
  Scripted(accounts, kGMail).queue({CheckStatus::Success, {twin}});
  Check();
  EXPECT_TRUE(state.snapshot().newRecords.empty());
  EXPECT_EQ(state.snapshot().unreadCount, 2u);
}

TEST_F(BusMailStateTest, AFailedOrSkippedCheckStillEndsWithAPublication) {
  Scripted(accounts, kGMail)
      .queue({CheckStatus::Success, {{"Bob", "Lunch", "INBOX", "2026-12-10"}}});
  Scripted(accounts, kGMail).queue({CheckStatus::Failure});
  Scripted(accounts, kOutlook).queue({CheckStatus::Success});
  Check();
  EXPECT_EQ(state.snapshot().unreadCount, 1u);
  EXPECT_EQ(state.snapshot().lastStatus, static_cast<uint32_t>(CheckStatus::Success));
  EXPECT_EQ(state.snapshot().checks, 1u);
  clock.setUnixSeconds(1'800'000'100);
  Check();
  EXPECT_EQ(publications, 2);
  // Each end counts, and carries the failure, so a waiting client hears of it.
  EXPECT_EQ(state.snapshot().checks, 2u);
  EXPECT_EQ(state.snapshot().lastStatus, static_cast<uint32_t>(CheckStatus::Failure));
  EXPECT_EQ(state.snapshot().unreadCount, 0u);
  EXPECT_TRUE(state.snapshot().records.empty());
  EXPECT_EQ(state.snapshot().lastCheck, 1'800'000'100);
}

// Marking as read: only the records of types that can mark offer it (a notice with web mail in
// it offers none); a marked record leaves the records and the count at once, a refused one
// stays and its reason comes back, and an id that is not listed is refused without a call.
TEST_F(BusMailStateTest, MarkedRecordsLeaveAtOnceAndRefusalsComeBackWithTheirReason) {
  Scripted(accounts, kGMail)
      .queue({CheckStatus::Success,
              {{"Bob", "Lunch", "INBOX", "2026-12-10", "7 41 INBOX"},
               {"Eve", "Report", "Work", "2026-12-09", "7 40 Work"}}});
  Scripted(accounts, kGMail)
      .queue({CheckStatus::Success,
              {{"Ann", "Hello", "INBOX", "2026-12-11", "7 42 INBOX"},
               {"Eve", "Report", "Work", "2026-12-09", "7 40 Work"}}});
  Scripted(accounts, kGMail).queue({CheckStatus::Success, {}});
  Scripted(accounts, kOutlook).queue({CheckStatus::Success});
  Scripted(accounts, kOutlook).queue({CheckStatus::Success, {{"Cy", "Memo", "", "2026-12-12"}}});
  Scripted(accounts, kOutlook).queue({CheckStatus::Success});
  Scripted(accounts, kGMail).refusedMarkKey = "7 40 Work";

  Check();
  std::vector<std::string> markable = state.MarkableNewIds();
  ASSERT_EQ(markable.size(), 2u);
  MailMarker marker(
      state, [this](uint32_t typeBit) -> MailEngine* { return &Scripted(accounts, typeBit); });
  std::promise<MailMarker::Outcome> first;
  marker.Mark(markable, [&](const MailMarker::Outcome& outcome) { first.set_value(outcome); });
  const MailMarker::Outcome outcome = first.get_future().get();
  EXPECT_EQ(Scripted(accounts, kGMail).marked(), std::vector<std::string>{"7 41 INBOX"});
  ASSERT_EQ(outcome.marked.size(), 1u);
  EXPECT_EQ(outcome.failure, "the server refused it");
  EXPECT_EQ(Subjects(state.snapshot().records), std::vector<std::string>{"Report"});
  EXPECT_EQ(state.snapshot().unreadCount, 1u);
  EXPECT_EQ(Subjects(state.snapshot().newRecords), std::vector<std::string>{"Report"});

  // An id nobody lists (marked meanwhile, or made up) is refused; nothing is called.
  std::promise<MailMarker::Outcome> second;
  marker.Mark({outcome.marked[0], "0123456789abcdef"},
              [&](const MailMarker::Outcome& result) { second.set_value(result); });
  const MailMarker::Outcome unknown = second.get_future().get();
  EXPECT_TRUE(unknown.marked.empty());
  EXPECT_EQ(unknown.failure, "the mail is no longer listed");
  EXPECT_EQ(Scripted(accounts, kGMail).marked().size(), 1u);

  // Hello is new beside Outlook's Memo, which cannot be marked: the notice offers nothing.
  Check();
  EXPECT_EQ(state.snapshot().newRecords.size(), 2u);
  EXPECT_TRUE(state.MarkableNewIds().empty());
  const BusMailSnapshot listed = state.snapshot();
  const auto memo = std::find_if(listed.records.begin(), listed.records.end(),
                                 [](const BusMailRecord& r) { return r.subject == "Memo"; });
  ASSERT_NE(memo, listed.records.end());
  std::promise<MailMarker::Outcome> third;
  marker.Mark({memo->id}, [&](const MailMarker::Outcome& result) { third.set_value(result); });
  EXPECT_EQ(third.get_future().get().failure, "this account type cannot mark mail as read");
  EXPECT_EQ(state.snapshot().unreadCount, 3u);
  // Nothing new: nothing to offer.
  Check();
  EXPECT_TRUE(state.MarkableNewIds().empty());
}

TEST(BusSilenceMinutes, AcceptsOffAndUpToAWeekAndRefusesTheRest) {
  struct Row {
    int64_t minutes;
    std::optional<int32_t> expected;
  };
  const Row rows[] = {
      {0, kNotificationsOn},
      {1, 1},
      {30, 30},
      {kBusSilenceMaxMinutes, static_cast<int32_t>(kBusSilenceMaxMinutes)},
      {kBusSilenceMaxMinutes + 1, std::nullopt},
      {-1, std::nullopt},
      {INT32_MIN, std::nullopt},
      {int64_t{INT32_MAX} + 2, std::nullopt},
      {INT64_MIN, std::nullopt},
  };
  for (const Row& row : rows)
    EXPECT_EQ(BusSilenceMinutes(row.minutes), row.expected) << row.minutes;
}

}  // namespace
}  // namespace tarvel
