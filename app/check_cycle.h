#pragma once

#include <atomic>
#include <cstdint>
#include <iterator>

#include "app/new_mail_walk.h"
#include "mail/check_status.h"

namespace tarvel {

class AccountTypeList;
class CheckNotifier;
class Clock;
class DiagnosticTrace;
class LoginRunner;
class MailEngine;
class MainWindowPort;
struct GlobalSettings;

enum class CheckTrigger {
  Timed,   // the check timer, start-up, an IMAP announcement: honours the check hours
  Manual,  // the user asked: runs whatever the hours
  Retry,   // a re-check after a failure: like Timed, but leaves out the accounts whose last
           // failure a retry cannot help (a refused sign-in, a missing folder); they wait for
           // the next regular check
};

// The outcome of CheckAll, as the finished message carries it.
struct CheckOutcome {
  CheckStatus status = CheckStatus::Success;
  uint32_t loginMask = 0;  // typeBit values of the types that need a sign-in
  // A failure worth retrying soon: some account failed other than by a refused sign-in.
  bool transientFailure = false;
};

// Delays of the check timer besides the refresh interval.
inline constexpr uint32_t kResumeCheckDelayMs = 10'000;
inline constexpr uint32_t kRecheckDelayMs = 100;
inline constexpr uint32_t kSilenceTickMs = 60'000;
inline constexpr int32_t kNotificationsOn = -1;

// Re-checks after failures: the first ones after these pauses (a restarted server or a
// network that comes back needs seconds, not milliseconds), then at a third of the interval.
// Immediate re-checks follow sign-ins.
inline constexpr uint32_t kRetryDelaysMs[] = {1'000, 4'000, 15'000};
inline constexpr uint32_t kImmediateRetries = 3;
inline constexpr uint32_t kShortIntervalRetries = 6;
static_assert(std::size(kRetryDelaysMs) == kImmediateRetries);

// The heartbeat: a one-shot check timer starts a check of every enabled account type on the
// check thread; the end of the check decides when the next one runs, retries failures and
// opens the login window for types whose session has expired.
class CheckCycle {
 public:
  CheckCycle(AccountTypeList& accounts, MainWindowPort& mainWindow, CheckNotifier& notifier,
             LoginRunner& loginRunner, Clock& clock, DiagnosticTrace& trace);
  CheckCycle(const CheckCycle&) = delete;
  CheckCycle& operator=(const CheckCycle&) = delete;

  // Settings the cycle reads; each may change between checks.
  void setRefreshSeconds(uint32_t seconds) { refreshSeconds_.store(seconds); }
  void setCheckRange(uint32_t hourMask) { checkRange_.store(hourMask); }
  void setCheckRangeDays(uint32_t dayMask) { checkRangeDays_.store(dayMask); }
  // 0 Monday to 6 Sunday.
  void setFirstDayOfWeek(int day) { firstDayOfWeek_.store(day); }
  uint32_t refreshSeconds() const { return refreshSeconds_.load(); }

  // Kills the check timer and starts a check unless one runs. Callable from any thread.
  void CheckIn(CheckTrigger trigger);
  // Starts CheckAll on the check thread; false when a check still runs.
  bool StartCheck(CheckTrigger trigger);

  // Runs one check of every enabled engine; on the check thread (or any thread that owns
  // the lists while it runs).
  CheckOutcome CheckAll(CheckTrigger trigger);

  // The end-of-check handling on the main thread.
  void OnCheckFinished(uint32_t status, uint32_t loginMask);
  // The silence timer's minute tick.
  void OnSilenceTick();
  // The machine woke from standby: check soon.
  void OnResume();

  // Silence commands of the tray menu.
  void SilenceFor(int32_t minutes);
  void SilenceUntilRestart();
  void SilenceForEver();
  void NotificationsOn();
  // At start: silenced for ever when the option word says so.
  void ApplyStoredSilence();

  // Dispatch of the main window's messages and timers that belong to the cycle; false for
  // the others.
  bool HandleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam);
  bool HandleTimer(uint32_t timerId);

  uint32_t newMailMask() const { return newMailMask_.load(); }
  uint32_t mailMask() const { return mailMask_.load(); }
  int32_t silenceMinutes() const { return silenceMinutes_.load(); }
  uint32_t retryCount() const { return retryCount_; }
  uint32_t loginTarget() const { return loginTarget_; }
  // The totals of the last check; read only while no check runs.
  const CheckTotals& lastTotals() const { return totals_; }

 private:
  CheckStatus RunEngineCheck(MailEngine& engine, bool popupAnnouncements, bool retry);
  bool InCheckHours() const;
  void GiveNewMailNotifications(uint32_t firstNewTypeBit);
  bool HandleLogins(uint32_t loginMask);

  AccountTypeList& accounts_;
  MainWindowPort& mainWindow_;
  CheckNotifier& notifier_;
  LoginRunner& loginRunner_;
  Clock& clock_;
  DiagnosticTrace& trace_;

  std::atomic<uint32_t> refreshSeconds_{300};
  std::atomic<uint32_t> checkRange_{0xFFFFFF};
  std::atomic<uint32_t> checkRangeDays_{127};
  std::atomic<int> firstDayOfWeek_{0};

  std::atomic<uint32_t> newMailMask_{0};
  std::atomic<uint32_t> mailMask_{0};
  std::atomic<int32_t> silenceMinutes_{kNotificationsOn};
  uint32_t retryCount_ = 0;  // main thread only
  bool retryArmed_ = false;  // main thread only: the check timer was set for a re-check
  // Whether the last check's failure is worth a retry; written by the check thread before its
  // finished message, read by the handler of that message.
  std::atomic<bool> transientFailure_{true};
  uint32_t loginTarget_ = 0;
  CheckTotals totals_;  // check thread while a check runs
};

// Hands the stored settings that configure the cycle (interval, check hours and days) to it.
void ApplyCheckSettings(const GlobalSettings& settings, CheckCycle& cycle);

}  // namespace tarvel
