#include "app/check_cycle.h"

#include <algorithm>
#include <exception>
#include <memory>

#include "accounts/account_type_bits.h"
#include "accounts/account_type_list.h"
#include "accounts/global_settings.h"
#include "accounts/keyring_secrets.h"
#include "app/check_notifier.h"
#include "app/login_runner.h"
#include "app/main_window_port.h"
#include "app/window_messages.h"
#include "maintenance/diagnostic_trace.h"
#include "platform/clock.h"

namespace tarvel {

namespace {

// Timer intervals are kept within what a timer accepts.
constexpr uint64_t kMinimumTimerMs = 10;
constexpr uint64_t kMaximumTimerMs = 0x7FFFFFFF;

uint32_t TimerInterval(uint64_t milliseconds) {
  return static_cast<uint32_t>(std::clamp(milliseconds, kMinimumTimerMs, kMaximumTimerMs));
}

}  // namespace

CheckCycle::CheckCycle(AccountTypeList& accounts, MainWindowPort& mainWindow,
                       CheckNotifier& notifier, LoginRunner& loginRunner, Clock& clock,
                       DiagnosticTrace& trace)
    : accounts_(accounts),
      mainWindow_(mainWindow),
      notifier_(notifier),
      loginRunner_(loginRunner),
      clock_(clock),
      trace_(trace) {}

void CheckCycle::CheckIn(CheckTrigger trigger) {
  trace_.Record("CheckIn");
  mainWindow_.KillTimer(kTimerCheck);
  StartCheck(trigger);
}

bool CheckCycle::StartCheck(CheckTrigger trigger) {
  auto outcome = std::make_shared<CheckOutcome>();
  // The finished message goes out only once the thread counts as finished: an immediate
  // re-check started by its handler must not be refused.
  return accounts_.StartCheck(
      [this, trigger, outcome]() -> uint32_t {
        *outcome = CheckAll(trigger);
        return 0;
      },
      [this, outcome](uint32_t) {
        mainWindow_.PostMessage(kMsgCheckFinished, static_cast<uintptr_t>(outcome->status),
                                static_cast<intptr_t>(outcome->loginMask));
      });
}

bool CheckCycle::InCheckHours() const {
  const LocalTime now = clock_.LocalNow();
  const uint32_t hourBit = 1u << std::clamp(now.hour, 0, 23);
  const int dayIndex = ((now.dayOfWeek - firstDayOfWeek_.load() + 6) % 7 + 7) % 7;
  return (checkRange_.load() & hourBit) != 0 && (checkRangeDays_.load() & (1u << dayIndex)) != 0;
}

CheckStatus CheckCycle::RunEngineCheck(MailEngine& engine, bool popupAnnouncements, bool retry) {
  if (retry && engine.lastStatus == CheckStatus::Failure &&
      engine.lastFailureKind != FailureKind::Transient) {
    // Not asked again before the next regular check: its mail and failure stay as they were.
    engine.lastNewCount = 0;
    totals_.totalCount += static_cast<uint32_t>(engine.mails.count());
    return engine.lastStatus;
  }
  CheckStatus result = CheckStatus::Success;
  engine.lastNewCount = 0;
  if (engine.ReadyToCheck() == 1) {
    engine.mails.clear();
    engine.lastFailure.clear();
    engine.lastFailureKind = FailureKind::Transient;
    if (engine.secretsUnreadable()) {
      // Signing in without the password would only be refused (or count against the
      // account): the check fails with the reason the user can act on.
      engine.lastFailure = kKeyringUnreadableReason;
      engine.lastFailureKind = FailureKind::Setting;
      result = CheckStatus::Failure;
    } else {
      try {
        result = engine.Check();
      } catch (const std::exception& error) {
        // Engines report failures as statuses; anything thrown is a failure all the same.
        engine.lastFailure = Text::FromUtf8(error.what());
        result = CheckStatus::Failure;
      }
    }
  }
  if (result == CheckStatus::Success) {
    engine.lastNewCount = WalkNewMail(engine, totals_, popupAnnouncements, notifier_);
  }
  totals_.totalCount += static_cast<uint32_t>(engine.mails.count());
  engine.lastStatus = result;
  return result;
}

CheckOutcome CheckCycle::CheckAll(CheckTrigger trigger) {
  totals_ = CheckTotals();
  CheckOutcome outcome;
  uint32_t firstNewTypeBit = 0;
  uint32_t newMailMask = 0;
  uint32_t mailMask = 0;
  newMailMask_.store(0);
  mailMask_.store(0);

  if (trigger != CheckTrigger::Manual && !InCheckHours()) {
    outcome.status = CheckStatus::OutsideCheckHours;
  } else {
    const bool popupAnnouncements = accounts_.flags().any(flag_bits::kPopupAnnouncements);
    for (MailEngine* engine = accounts_.first(); engine; engine = AccountTypeList::next(engine)) {
      if (!accounts_.isEnabled(*engine))
        continue;
      CheckStatus result =
          RunEngineCheck(*engine, popupAnnouncements, trigger == CheckTrigger::Retry);
      if (result == CheckStatus::LoginNeeded && !loginRunner_.CanSignIn(engine->typeBit)) {
        // No sign-in can be offered (no browser): a failure a retry cannot help.
        trace_.Record("CheckLoginUnavailable");
        engine->lastFailureKind = FailureKind::Setting;
        result = CheckStatus::Failure;
      }
      if (result != CheckStatus::Success) {
        outcome.status = result;
        if (result != CheckStatus::Failure || engine->lastFailureKind == FailureKind::Transient)
          outcome.transientFailure = true;
        if (result == CheckStatus::LoginNeeded)
          outcome.loginMask |= engine->typeBit;
      }
      if (engine->lastNewCount > 0) {
        if (newMailMask == 0)
          firstNewTypeBit = engine->typeBit;
        newMailMask |= engine->typeBit;
      }
      if (!engine->mails.isEmpty())
        mailMask |= engine->typeBit;
    }
  }
  newMailMask_.store(newMailMask);
  mailMask_.store(mailMask);
  transientFailure_.store(outcome.transientFailure);

  notifier_.AssemblePopup();
  notifier_.UpdateTray(totals_.totalCount, totals_.allMailText, outcome.status);
  if (totals_.newCount > 0) {
    if (silenceMinutes_.load() == kNotificationsOn) {
      notifier_.ShowNewMailNotice(totals_.newMailText, totals_.newCount, outcome.status);
    }
    // The two Outlook.com types run a reader refresh after a new-mail notice.
    for (const uint32_t outlookBit : {type_bits::kOutlook, type_bits::kOutlookAlternative}) {
      MailEngine* outlook = accounts_.findByTypeBit(outlookBit);
      if (outlook && accounts_.isEnabled(*outlook))
        notifier_.RefreshReader(*outlook);
    }
    if (silenceMinutes_.load() == kNotificationsOn) {
      notifier_.PlayNewMailSound(firstNewTypeBit);
      if (silenceMinutes_.load() == kNotificationsOn)
        notifier_.GiveLogitechFeedback();
    }
  }
  return outcome;
}

bool CheckCycle::HandleLogins(uint32_t loginMask) {
  trace_.Record("CheckLogin");
  for (MailEngine* engine = accounts_.first(); engine; engine = AccountTypeList::next(engine)) {
    if ((engine->typeBit & loginMask) == 0)
      continue;
    if (loginRunner_.IsOpen()) {
      // The open window's own check will set the timer when it ends.
      loginRunner_.BringToFront();
      return false;
    }
    trace_.Record("CheckLoginRun");
    loginTarget_ = engine->typeBit;
    if (!loginRunner_.Run(engine->typeBit))
      trace_.Record("CheckLoginException");
  }
  trace_.Record("CheckLoginDone");
  if (retryCount_ < kImmediateRetries) {
    ++retryCount_;
    StartCheck(CheckTrigger::Timed);
  }
  return true;
}

void CheckCycle::OnCheckFinished(uint32_t status, uint32_t loginMask) {
  uint64_t interval = static_cast<uint64_t>(refreshSeconds_.load()) * 1000;
  retryArmed_ = false;
  if (loginMask == 0) {
    if (status == static_cast<uint32_t>(CheckStatus::Failure) && !transientFailure_.load()) {
      // Only refused sign-ins: the next regular check tries again; no re-check was needed.
      trace_.Record("CheckRefused");
      retryCount_ = 0;
    } else if (status == static_cast<uint32_t>(CheckStatus::Failure)) {
      trace_.Record("CheckRetry");
      if (retryCount_ < kImmediateRetries) {
        interval = kRetryDelaysMs[retryCount_];
        ++retryCount_;
        retryArmed_ = true;
      } else if (retryCount_ < kShortIntervalRetries) {
        ++retryCount_;
        interval /= 3;
        retryArmed_ = true;
      }
    } else {
      retryCount_ = 0;
    }
  } else if (!HandleLogins(loginMask)) {
    return;
  }
  if (accounts_.flags().testAndClear(flag_bits::kRecheckRequested)) {
    interval = kRecheckDelayMs;
    retryArmed_ = false;  // an IDLE's news: every account is checked
  }
  trace_.Record("CheckOut");
  mainWindow_.SetTimer(kTimerCheck, TimerInterval(interval));
}

void CheckCycle::OnSilenceTick() {
  int32_t minutes = silenceMinutes_.load();
  while (minutes >= 1) {
    const int32_t next = minutes == 1 ? kNotificationsOn : minutes - 1;
    if (silenceMinutes_.compare_exchange_weak(minutes, next))
      break;
  }
}

void CheckCycle::OnResume() {
  mainWindow_.SetTimer(kTimerCheck, kResumeCheckDelayMs);
}

void CheckCycle::SilenceFor(int32_t minutes) {
  silenceMinutes_.store(minutes);
  accounts_.flags().clear(flag_bits::kSilencedForEver);
}

void CheckCycle::SilenceUntilRestart() {
  SilenceFor(0);
}

void CheckCycle::NotificationsOn() {
  SilenceFor(kNotificationsOn);
}

void CheckCycle::SilenceForEver() {
  silenceMinutes_.store(0);
  accounts_.flags().set(flag_bits::kSilencedForEver);
}

void CheckCycle::ApplyStoredSilence() {
  if (accounts_.flags().any(flag_bits::kSilencedForEver))
    silenceMinutes_.store(0);
}

bool CheckCycle::HandleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  switch (message) {
    case kMsgStartCheck:
      CheckIn(wParam != 0 ? CheckTrigger::Manual : CheckTrigger::Timed);
      return true;
    case kMsgCheckFinished:
      OnCheckFinished(static_cast<uint32_t>(wParam), static_cast<uint32_t>(lParam));
      return true;
    default:
      return false;
  }
}

bool CheckCycle::HandleTimer(uint32_t timerId) {
  switch (timerId) {
    case kTimerCheck: {
      const bool retry = retryArmed_;
      retryArmed_ = false;
      CheckIn(retry ? CheckTrigger::Retry : CheckTrigger::Timed);
      return true;
    }
    case kTimerSilence:
      OnSilenceTick();
      return true;
    default:
      return false;
  }
}

void ApplyCheckSettings(const GlobalSettings& settings, CheckCycle& cycle) {
  cycle.setRefreshSeconds(settings.refreshSeconds);
  cycle.setCheckRange(settings.checkRange);
  cycle.setCheckRangeDays(settings.checkRangeDays);
}

}  // namespace tarvel
