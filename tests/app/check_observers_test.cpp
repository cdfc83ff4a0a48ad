#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "accounts/account_type.h"
#include "app/check_notifier.h"
#include "mail/mail_item.h"
#include "tests/support/recording_notifier.h"
#include "tests/support/scripted_engine.h"

namespace tarvel {
namespace {

using testing::RecordingNotifier;
using testing::ScriptedEngine;

// Writes its name into a log shared with other observers at each step it overrides.
class NamedObserver : public SilentNotifier {
 public:
  NamedObserver(std::string name, std::vector<std::string>& log)
      : name_(std::move(name)), log_(log) {}
  void AssemblePopup() override { log_.push_back(name_); }
  void PlayNewMailSound(uint32_t) override { log_.push_back(name_); }

 private:
  std::string name_;
  std::vector<std::string>& log_;
};

TEST(CheckObservers, EveryStepReachesEveryObserverWithItsValues) {
  ScriptedEngine gmail(kAccountTypes[1]);
  const MailItem item(u"Bob", u"Lunch", u"INBOX", u"2026-12-10");
  struct Step {
    std::function<void(CheckNotifier&)> call;
    std::string event;
  };
  const std::vector<Step> steps = {
      {[&](CheckNotifier& n) { n.AddPopupRow(gmail, item, 3); },
       "row " + Text(gmail.type().displayName).ToUtf8() + " 3 Lunch"},
      {[](CheckNotifier& n) { n.AssemblePopup(); }, "popup"},
      {[](CheckNotifier& n) { n.UpdateTray(2, Text(u"all"), CheckStatus::Success); },
       "tray 2 " + std::to_string(static_cast<uint32_t>(CheckStatus::Success)) + " all"},
      {[](CheckNotifier& n) { n.ShowNewMailNotice(Text(u"new"), 1, CheckStatus::Failure); },
       "notice 1 " + std::to_string(static_cast<uint32_t>(CheckStatus::Failure)) + " new"},
      {[&](CheckNotifier& n) { n.RefreshReader(gmail); },
       "refresh " + std::to_string(gmail.typeBit)},
      {[](CheckNotifier& n) { n.PlayNewMailSound(0x2); }, "sound 2"},
      {[](CheckNotifier& n) { n.GiveLogitechFeedback(); }, "logitech"},
  };
  RecordingNotifier first;
  RecordingNotifier second;
  CheckObservers observers;
  observers.Add(first);
  observers.Add(second);
  for (const Step& step : steps) {
    SCOPED_TRACE(step.event);
    step.call(observers);
    EXPECT_EQ(first.takeEvents(), std::vector<std::string>{step.event});
    EXPECT_EQ(second.takeEvents(), std::vector<std::string>{step.event});
  }
}

TEST(CheckObservers, ObserversHearAStepInTheOrderTheyWereAdded) {
  std::vector<std::string> log;
  NamedObserver mailList("mail list", log);
  NamedObserver notice("notice", log);
  NamedObserver alerts("alerts", log);
  CheckObservers observers;
  observers.Add(mailList);
  observers.Add(notice);
  observers.Add(alerts);

  observers.AssemblePopup();
  observers.UpdateTray(0, Text(), CheckStatus::Success);  // none of them follows the tray
  observers.PlayNewMailSound(0x1);
  EXPECT_EQ(log, (std::vector<std::string>{"mail list", "notice", "alerts", "mail list", "notice",
                                           "alerts"}));
}

}  // namespace
}  // namespace tarvel
