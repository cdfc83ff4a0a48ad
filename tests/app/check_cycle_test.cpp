#include "app/check_cycle.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>

#include "accounts/account_type_list.h"
#include "accounts/keyring_secrets.h"
#include "app/manual_main_window.h"
#include "app/window_messages.h"
#include "tests/support/fake_clock.h"
#include "tests/support/recording_notifier.h"
#include "tests/support/scripted_engine.h"

namespace tarvel {
namespace {

using testing::FakeClock;
using testing::FakeLoginRunner;
using testing::RecordingNotifier;
using testing::RecordingTrace;
using testing::Scripted;
using testing::ScriptedCheck;
using testing::ScriptedEngine;
using testing::ScriptedEngineFactory;

constexpr uint32_t kGMail = 0x2;
constexpr uint64_t kGMailSelect = 0x80;
constexpr uint32_t kOutlook = 0x1;
constexpr uint64_t kOutlookSelect = 0x40;

class CycleHandler : public MainWindowHandler {
 public:
  explicit CycleHandler(CheckCycle& cycle) : cycle_(cycle) {}
  intptr_t OnMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
    cycle_.HandleMessage(message, wParam, lParam);
    return 0;
  }
  void OnTimer(uint32_t timerId) override { cycle_.HandleTimer(timerId); }

 private:
  CheckCycle& cycle_;
};

class CheckCycleTest : public ::testing::Test {
 protected:
  void SetUp() override { window.setHandler(&handler); }
  void TearDown() override { accounts.checkThread().waitFinished(0); }

  ScriptedEngine& gmail() { return Scripted(accounts, kGMail); }

  // Lets the running check end and handles its finished message.
  void FinishCheck() {
    ASSERT_TRUE(accounts.checkThread().waitFinished(10'000));
    window.DispatchPending();
  }

  void RunCheck(CheckTrigger trigger = CheckTrigger::Timed) {
    cycle.CheckIn(trigger);
    FinishCheck();
  }

  bool checkRunning() { return !accounts.checkThread().isFinished(); }

  OptionFlags flags{0};
  AccountTypeList accounts{flags, ScriptedEngineFactory()};
  ManualMainWindow window;
  RecordingNotifier notifier;
  FakeLoginRunner login;
  FakeClock clock;
  RecordingTrace trace;
  CheckCycle cycle{accounts, window, notifier, login, clock, trace};
  CycleHandler handler{cycle};
};

TEST_F(CheckCycleTest, FailuresRetryAfterSpacedPausesThenAtAThirdThenAtTheInterval) {
  flags.set(kGMailSelect);
  gmail().queue({CheckStatus::Failure});
  gmail().useGate();  // each check waits for the test, so a started check stays visible
  cycle.setRefreshSeconds(300);
  cycle.CheckIn(CheckTrigger::Timed);

  // After each failed check, the check timer: 1 s, 4 s and 15 s (a restarted server is back
  // within seconds), then a third of the interval three times, then the interval.
  const uint32_t timers[] = {1'000, 4'000, 15'000, 100'000, 100'000, 100'000, 300'000, 300'000};
  int checks = 0;
  for (const uint32_t timer : timers) {
    SCOPED_TRACE(checks);
    ASSERT_TRUE(checkRunning());
    gmail().allowCheck();
    FinishCheck();
    EXPECT_EQ(gmail().checks, ++checks);
    EXPECT_FALSE(checkRunning()) << "a re-check started without a pause";
    EXPECT_EQ(window.timerInterval(kTimerCheck), timer);
    window.AdvanceBy(timer);
  }
  EXPECT_EQ(cycle.retryCount(), 6u);

  gmail().queue({CheckStatus::Success});
  gmail().allowCheck();
  FinishCheck();
  EXPECT_EQ(cycle.retryCount(), 0u);
  EXPECT_EQ(window.timerInterval(kTimerCheck), 300'000u);
}

// A refused password is asked again only at the regular interval: re-checks in a row would get
// the address banned. A dropped connection of another account keeps its spaced re-checks,
// and they leave the refused account out.
TEST_F(CheckCycleTest, RefusedSignInIsNotRetriedButANetworkFailureIs) {
  ScriptedCheck refused(CheckStatus::Failure);
  refused.failureKind = FailureKind::SignInRefused;

  flags.set(kGMailSelect);
  gmail().queue(refused);
  RunCheck();
  EXPECT_EQ(gmail().checks, 1);
  EXPECT_EQ(cycle.retryCount(), 0u);
  EXPECT_EQ(window.timerInterval(kTimerCheck), 300'000u);
  EXPECT_EQ(gmail().lastStatus, CheckStatus::Failure);

  // With the Outlook account failing on the network as well.
  flags.set(kOutlookSelect);
  ScriptedEngine& outlook = Scripted(accounts, kOutlook);
  outlook.queue({CheckStatus::Failure});
  window.AdvanceBy(300'000);
  FinishCheck();
  EXPECT_EQ(gmail().checks, 2);
  EXPECT_EQ(outlook.checks, 1);
  EXPECT_EQ(window.timerInterval(kTimerCheck), 1'000u);
  window.AdvanceBy(1'000);
  FinishCheck();
  EXPECT_EQ(outlook.checks, 2);
  EXPECT_EQ(gmail().checks, 2) << "the refused account was asked again in a re-check";
  EXPECT_EQ(window.timerInterval(kTimerCheck), 4'000u);
  // The outcome still reports the refused account's failure.
  EXPECT_EQ(notifier.eventsStartingWith("tray ").back(), "tray 0 1 ");

  outlook.queue({CheckStatus::Success});
  window.AdvanceBy(4'000);
  FinishCheck();
  EXPECT_EQ(gmail().checks, 2);
  EXPECT_EQ(notifier.eventsStartingWith("tray ").back(), "tray 0 1 ");
  EXPECT_EQ(window.timerInterval(kTimerCheck), 300'000u);
  window.AdvanceBy(300'000);
  FinishCheck();
  EXPECT_EQ(gmail().checks, 3);  // the regular check asks again
}

TEST_F(CheckCycleTest, CheckHoursStopTimedChecksButNotManualOnes) {
  flags.set(kGMailSelect);
  gmail().queue({CheckStatus::Success, {{"Ann", "Hi", "", "2024-01-01"}}});
  cycle.setCheckRange(0x00FFFF);
  clock.setLocalTime(/*dayOfWeek=*/3, /*hour=*/23, /*minute=*/30);

  const CheckOutcome timed = cycle.CheckAll(CheckTrigger::Timed);
  EXPECT_EQ(timed.status, CheckStatus::OutsideCheckHours);
  EXPECT_EQ(gmail().checks, 0);
  EXPECT_EQ(notifier.takeEvents(), (std::vector<std::string>{"popup", "tray 0 3 "}));

  const CheckOutcome manual = cycle.CheckAll(CheckTrigger::Manual);
  EXPECT_EQ(manual.status, CheckStatus::Success);
  EXPECT_EQ(gmail().checks, 1);
}

TEST_F(CheckCycleTest, CheckDaysFollowTheLocalesFirstDayOfWeek) {
  flags.set(kGMailSelect);
  cycle.setCheckRangeDays(31);  // the first five days of the week
  struct Row {
    const char* locale;
    int firstDayOfWeek;
    bool allowed[7];  // Sunday to Saturday
  };
  const Row rows[] = {
      {"week from Monday", 0, {false, true, true, true, true, true, false}},
      {"week from Sunday", 6, {true, true, true, true, true, false, false}},
  };
  for (const Row& row : rows) {
    cycle.setFirstDayOfWeek(row.firstDayOfWeek);
    for (int day = 0; day < 7; ++day) {
      SCOPED_TRACE(std::string(row.locale) + ", day " + std::to_string(day));
      clock.setLocalTime(day, 10);
      EXPECT_EQ(cycle.CheckAll(CheckTrigger::Timed).status == CheckStatus::Success,
                row.allowed[day]);
      EXPECT_EQ(cycle.CheckAll(CheckTrigger::Manual).status, CheckStatus::Success);
    }
  }
}

TEST_F(CheckCycleTest, NewMailIsAnnouncedInOrder) {
  flags.set(kGMailSelect | kOutlookSelect | flag_bits::kPopupAnnouncements);
  gmail().queue({CheckStatus::Success, {{"Ann", "Hi", "", "2024-01-02"}}});
  Scripted(accounts, kOutlook).queue({CheckStatus::Success, {}});
  const CheckOutcome outcome = cycle.CheckAll(CheckTrigger::Timed);
  EXPECT_EQ(outcome.status, CheckStatus::Success);
  EXPECT_EQ(notifier.takeEvents(),
            (std::vector<std::string>{"row GMail 0 Hi", "popup", "tray 1 0 Ann - Hi",
                                      "notice 1 0 Ann - Hi", "refresh 1", "sound 2", "logitech"}));
  EXPECT_EQ(cycle.newMailMask(), kGMail);
  EXPECT_EQ(cycle.mailMask(), kGMail);

  // The same list again: nothing new, no notice.
  gmail().queue({CheckStatus::Success, {{"Ann", "Hi", "", "2024-01-02"}}});
  cycle.CheckAll(CheckTrigger::Timed);
  EXPECT_EQ(notifier.takeEvents(),
            (std::vector<std::string>{"row GMail 0 Hi", "popup", "tray 1 0 Ann - Hi"}));
  EXPECT_EQ(cycle.newMailMask(), 0u);
}

TEST_F(CheckCycleTest, SilenceSuppressesAlertsForFiveTicks) {
  flags.set(kGMailSelect);
  window.SetTimer(kTimerSilence, kSilenceTickMs);
  cycle.SilenceFor(5);
  gmail().queue({CheckStatus::Success, {{"Ann", "Hi", "", "2024-01-02"}}});
  cycle.CheckAll(CheckTrigger::Timed);
  EXPECT_EQ(notifier.takeEvents(),
            (std::vector<std::string>{"row GMail 0 Hi", "popup", "tray 1 0 Ann - Hi"}));

  window.AdvanceBy(4 * kSilenceTickMs);
  EXPECT_EQ(cycle.silenceMinutes(), 1);
  window.AdvanceBy(kSilenceTickMs);
  EXPECT_EQ(cycle.silenceMinutes(), kNotificationsOn);
  gmail().queue({CheckStatus::Success, {{"Bo", "Yo", "", "2024-01-03"}}});
  cycle.CheckAll(CheckTrigger::Timed);
  EXPECT_EQ(notifier.eventsStartingWith("notice").size(), 1u);
  EXPECT_EQ(notifier.eventsStartingWith("sound").size(), 1u);
}

TEST_F(CheckCycleTest, SilenceCommandsSetTheForEverBit) {
  cycle.SilenceForEver();
  EXPECT_EQ(cycle.silenceMinutes(), 0);
  EXPECT_TRUE(flags.any(flag_bits::kSilencedForEver));
  window.SetTimer(kTimerSilence, kSilenceTickMs);
  window.AdvanceBy(10 * kSilenceTickMs);
  EXPECT_EQ(cycle.silenceMinutes(), 0);
  cycle.NotificationsOn();
  EXPECT_EQ(cycle.silenceMinutes(), kNotificationsOn);
  EXPECT_FALSE(flags.any(flag_bits::kSilencedForEver));
  flags.set(flag_bits::kSilencedForEver);
  cycle.ApplyStoredSilence();
  EXPECT_EQ(cycle.silenceMinutes(), 0);
}

TEST_F(CheckCycleTest, RecheckAskedDuringACheckRunsAHundredMillisecondsAfterIt) {
  flags.set(kGMailSelect);
  gmail().duringCheck = [this] {
    gmail().duringCheck = nullptr;
    flags.set(flag_bits::kRecheckRequested);
    cycle.CheckIn(CheckTrigger::Timed);  // as the IMAP thread does; the check still runs
  };
  RunCheck();
  EXPECT_EQ(gmail().checks, 1);
  EXPECT_EQ(window.timerInterval(kTimerCheck), kRecheckDelayMs);
  EXPECT_FALSE(flags.any(flag_bits::kRecheckRequested));
  window.AdvanceBy(kRecheckDelayMs - 1);
  EXPECT_FALSE(checkRunning());
  window.AdvanceBy(1);
  FinishCheck();
  EXPECT_EQ(gmail().checks, 2);
  EXPECT_EQ(window.timerInterval(kTimerCheck), 300'000u);
}

TEST_F(CheckCycleTest, LoginNeedRunsTheLoginWindowThenRechecks) {
  flags.set(kGMailSelect);
  gmail().queue({CheckStatus::LoginNeeded});
  gmail().queue({CheckStatus::Success});
  trace.take();
  RunCheck();
  EXPECT_EQ(login.runs, std::vector<uint32_t>{kGMail});
  EXPECT_EQ(cycle.loginTarget(), kGMail);
  EXPECT_EQ(trace.take(), (std::vector<std::string>{"CheckIn", "CheckLogin", "CheckLoginRun",
                                                    "CheckLoginDone", "CheckOut"}));
  FinishCheck();  // the re-check after the login
  EXPECT_EQ(gmail().checks, 2);
}

TEST_F(CheckCycleTest, SecondLoginNeedWhileTheWindowIsOpenOnlyRaisesIt) {
  flags.set(kGMailSelect);
  gmail().queue({CheckStatus::LoginNeeded});
  gmail().queue({CheckStatus::Success});
  std::optional<uint32_t> timerAfterNestedCheck = 0;
  login.whileOpen = [&] {
    window.KillTimer(kTimerCheck);
    cycle.OnCheckFinished(static_cast<uint32_t>(CheckStatus::LoginNeeded), kGMail);
    timerAfterNestedCheck = window.timerInterval(kTimerCheck);
  };
  RunCheck();
  EXPECT_EQ(login.runs.size(), 1u);
  EXPECT_EQ(login.broughtToFront, 1);
  EXPECT_EQ(timerAfterNestedCheck, std::nullopt);
  EXPECT_EQ(window.timerInterval(kTimerCheck), 300'000u);
}

// Without a browser a web type cannot sign in: its login need becomes a failure with its
// reason in the trace, which no immediate retry repeats, instead of a login need for ever.
TEST_F(CheckCycleTest, LoginNeedOfATypeThatCannotSignInIsAFailureNotRetried) {
  flags.set(kGMailSelect);
  gmail().queue({CheckStatus::LoginNeeded});
  login.cannotSignIn = kGMail;
  trace.take();
  RunCheck();
  EXPECT_TRUE(login.runs.empty());
  EXPECT_EQ(gmail().lastFailureKind, FailureKind::Setting);
  EXPECT_EQ(trace.take(), (std::vector<std::string>{"CheckIn", "CheckLoginUnavailable",
                                                    "CheckRefused", "CheckOut"}));
  // No immediate retry: the next check is the regular one.
  EXPECT_FALSE(checkRunning());
  EXPECT_EQ(window.timerInterval(kTimerCheck), 300'000u);
}

// An account whose password is kept in a keyring that could not give it is not checked (it
// would sign in with an empty password): it fails with the reason, not retried at once, and
// is checked again once its settings are read.
TEST_F(CheckCycleTest, AnAccountWhosePasswordTheKeyringCannotGiveIsNotChecked) {
  flags.set(kGMailSelect);
  gmail().queue({CheckStatus::Success});
  gmail().SetSecretsUnreadable(true);
  RunCheck();
  EXPECT_EQ(gmail().checks, 0);
  EXPECT_EQ(gmail().lastStatus, CheckStatus::Failure);
  EXPECT_EQ(gmail().lastFailure.view(), kKeyringUnreadableReason);
  EXPECT_EQ(gmail().lastFailureKind, FailureKind::Setting);
  EXPECT_EQ(cycle.retryCount(), 0u);
  EXPECT_EQ(window.timerInterval(kTimerCheck), 300'000u);

  gmail().SetSecretsUnreadable(false);
  RunCheck();
  EXPECT_EQ(gmail().checks, 1);
  EXPECT_EQ(gmail().lastStatus, CheckStatus::Success);
  EXPECT_TRUE(gmail().lastFailure.isEmpty());
}

TEST_F(CheckCycleTest, FailedLoginWindowIsTracedAndTheNextTypeStillRuns) {
  flags.set(kGMailSelect | kOutlookSelect);
  gmail().queue({CheckStatus::LoginNeeded});
  Scripted(accounts, kOutlook).queue({CheckStatus::LoginNeeded});
  login.failRuns = true;
  trace.take();
  RunCheck();
  EXPECT_EQ(login.runs, (std::vector<uint32_t>{kOutlook, kGMail}));
  const std::vector<std::string> entries = trace.take();
  EXPECT_EQ(std::count(entries.begin(), entries.end(), "CheckLoginException"), 2);
}

TEST_F(CheckCycleTest, OnlyEnabledTypesAreCheckedAndTheLastFailureWins) {
  flags.set(0x4000000 | (0x8ull << 32));  // the second IMAP account and Exchange
  Scripted(accounts, 0x20000).queue({CheckStatus::Success, {{"Ann", "Hi", "", "1"}}});
  Scripted(accounts, 0x100000).queue({CheckStatus::Failure});
  const CheckOutcome outcome = cycle.CheckAll(CheckTrigger::Timed);
  EXPECT_EQ(outcome.status, CheckStatus::Failure);
  EXPECT_EQ(outcome.loginMask, 0u);
  EXPECT_EQ(cycle.mailMask(), 0x20000u);
  int checked = 0;
  for (MailEngine* engine = accounts.first(); engine; engine = AccountTypeList::next(engine)) {
    checked += static_cast<ScriptedEngine*>(engine)->checks;
  }
  EXPECT_EQ(checked, 2);
}

TEST_F(CheckCycleTest, NotReadyEngineKeepsItsMailAsSeen) {
  flags.set(kGMailSelect);
  gmail().queue({CheckStatus::Success, {{"Ann", "Hi", "", "2024-01-02"}}});
  cycle.CheckAll(CheckTrigger::Timed);
  ScriptedCheck notReady;
  notReady.ready = 0;
  gmail().queue(notReady);
  notifier.takeEvents();
  const CheckOutcome outcome = cycle.CheckAll(CheckTrigger::Timed);
  EXPECT_EQ(outcome.status, CheckStatus::Success);
  EXPECT_EQ(gmail().checks, 1);
  EXPECT_EQ(cycle.lastTotals().totalCount, 1u);
  EXPECT_EQ(cycle.lastTotals().newCount, 0u);
}

TEST_F(CheckCycleTest, FailedCheckCountsItsMailButMovesNoWatermark) {
  flags.set(kGMailSelect);
  gmail().queue({CheckStatus::Failure, {{"Ann", "Hi", "", "2024-01-02"}}});
  cycle.CheckAll(CheckTrigger::Timed);
  EXPECT_EQ(cycle.lastTotals().totalCount, 1u);
  EXPECT_EQ(cycle.lastTotals().newCount, 0u);
  EXPECT_TRUE(gmail().newestSeenDate.isEmpty());
}

TEST_F(CheckCycleTest, ResumeAndStartCheckMessage) {
  cycle.OnResume();
  EXPECT_EQ(window.timerInterval(kTimerCheck), kResumeCheckDelayMs);
  flags.set(kGMailSelect);
  std::promise<void> release;
  gmail().duringCheck = [released = release.get_future().share()] { released.wait(); };
  window.PostMessage(kMsgStartCheck, 1, 0);
  window.DispatchPending();
  EXPECT_TRUE(checkRunning());
  EXPECT_EQ(window.timerInterval(kTimerCheck), std::nullopt);
  release.set_value();
  FinishCheck();
  EXPECT_EQ(gmail().checks, 1);
  EXPECT_EQ(window.timerInterval(kTimerCheck), 300'000u);
}

// A main window whose finished message is handled while the check thread is still inside
// PostMessage: the order a main thread that runs before the check thread gets the processor
// back would see. Later messages pass once the test has released the first.
class HandOverWindow : public MainWindowPort {
 public:
  explicit HandOverWindow(ManualMainWindow& window) : window_(window) {}
  void PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
    window_.PostMessage(message, wParam, lParam);
    if (message != kMsgCheckFinished)
      return;
    std::unique_lock lock(mutex_);
    released_.wait(lock, [this] { return isReleased_; });
  }
  intptr_t SendMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
    return window_.SendMessage(message, wParam, lParam);
  }
  void SetTimer(uint32_t timerId, uint32_t milliseconds) override {
    window_.SetTimer(timerId, milliseconds);
  }
  void KillTimer(uint32_t timerId) override { window_.KillTimer(timerId); }
  void Release() {
    const std::lock_guard lock(mutex_);
    isReleased_ = true;
    released_.notify_all();
  }

 private:
  ManualMainWindow& window_;
  std::mutex mutex_;
  std::condition_variable released_;
  bool isReleased_ = false;
};

TEST(CheckCycleOrder, AReCheckStartedByTheFinishedMessageIsNotRefused) {
  OptionFlags flags{kGMailSelect};
  AccountTypeList accounts{flags, ScriptedEngineFactory()};
  ManualMainWindow window;
  HandOverWindow port(window);
  RecordingNotifier notifier;
  FakeLoginRunner login;
  FakeClock clock;
  RecordingTrace trace;
  CheckCycle cycle{accounts, port, notifier, login, clock, trace};
  CycleHandler handler{cycle};
  window.setHandler(&handler);
  ScriptedEngine& gmail = Scripted(accounts, kGMail);
  // The re-check after a sign-in starts at once, from the finished message's handler.
  gmail.queue({CheckStatus::LoginNeeded});
  gmail.queue({CheckStatus::LoginNeeded});
  gmail.useGate();

  cycle.CheckIn(CheckTrigger::Timed);
  gmail.allowCheck();
  // Handle the finished message without waiting for the check thread first.
  ASSERT_TRUE(window.WaitForMessage(std::chrono::seconds(10)));
  window.DispatchPending();
  EXPECT_EQ(cycle.retryCount(), 1u);
  const bool retryRunning = !accounts.checkThread().isFinished();
  EXPECT_TRUE(retryRunning) << "the immediate re-check was refused";
  port.Release();
  if (retryRunning) {
    gmail.allowCheck();
    ASSERT_TRUE(window.WaitForMessage(std::chrono::seconds(10)));
    window.DispatchPending();
    EXPECT_EQ(gmail.checks, 2);
    gmail.allowCheck();  // the second re-check after a sign-in
  }
  accounts.checkThread().waitFinished(0);
}

}  // namespace
}  // namespace tarvel
