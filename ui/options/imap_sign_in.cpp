#include "ui/options/imap_sign_in.h"

#include <QMetaObject>
#include <QPointer>

#include <utility>

#include "accounts/option_flags.h"
#include "accounts/protected_text.h"
#include "accounts/settings_store.h"
#include "engines/protocol/oauth_authorizer.h"
#include "maintenance/diagnostic_trace.h"
#include "ui/adapters/qt_text.h"

namespace tarvel {

ImapSignInRunner::ImapSignInRunner(Services services, QObject* parent)
    : ImapSignIn(parent), services_(std::move(services)) {}

ImapSignInRunner::~ImapSignInRunner() {
  // All stops first, so the threads end side by side; the jthreads join as they go.
  for (Job& job : jobs_)
    job.thread.request_stop();
}

bool ImapSignInRunner::running(uint32_t slot) const {
  return slot < kImapSlotCount && jobs_[slot].running;
}

bool ImapSignInRunner::Start(const AccountTypeInfo& type, uint32_t slot,
                             const ImapAccountSettings& account) {
  if (slot >= kImapSlotCount || jobs_[slot].running)
    return false;
  Job& job = jobs_[slot];
  const uint64_t generation = ++job.generation;
  job.type = &type;
  job.account = account;
  job.cancelled = false;
  pending_[slot] = Pending();  // a new sign-in replaces one waiting for OK
  if (helper_) {
    QPointer<ImapSignInRunner> self(this);
    const bool started = helper_(slot, account, [self, slot, generation](HelperEnd end) {
      if (self)
        self->OnHelperEnd(slot, generation, end);
    });
    if (started) {
      job.running = true;
      job.throughHelper = true;
      return true;
    }
  }
  job.running = true;
  StartInDesktopBrowser(slot, generation);
  return true;
}

void ImapSignInRunner::OnHelperEnd(uint32_t slot, uint64_t generation, HelperEnd end) {
  if (slot >= kImapSlotCount)
    return;
  Job& job = jobs_[slot];
  if (job.generation != generation || !job.running || !job.throughHelper)
    return;
  switch (end) {
    case HelperEnd::SignedIn:
      Finish(slot, generation, true, QString());
      return;
    case HelperEnd::Closed:
      Finish(slot, generation, false, tr("the sign-in window was closed"));
      return;
    case HelperEnd::NotSignedIn: {
      QString reason = QString::fromStdString(services_.authorizer.LastNote(slot));
      if (reason.isEmpty())
        reason = tr("the provider did not sign the account in");
      Finish(slot, generation, false, reason);
      return;
    }
    case HelperEnd::NotShown:
      // The window could not be shown: the same sign-in goes on in the desktop's browser.
      if (services_.trace)
        services_.trace->Record("SignInWindowNotShownUsingTheDesktopBrowser");
      job.throughHelper = false;
      StartInDesktopBrowser(slot, generation);
      return;
  }
}

bool ImapSignInRunner::MatchesStored(uint32_t slot, const Text& server, const Text& user,
                                     uint32_t authMethod) const {
  const ImapSettingNames names = ImapSettingNamesForSlot(slot);
  const SettingsStore& store = services_.store;
  Text storedServer;
  store.readText(names.server, storedServer, u"");
  return storedServer == server.view() && UnprotectText(store, names.user, u"") == user.view() &&
         static_cast<uint32_t>(store.readNumber(names.authMethod, 0)) == authMethod;
}

void ImapSignInRunner::StartInDesktopBrowser(uint32_t slot, uint64_t generation) {
  Job& job = jobs_[slot];
  // The thread of an earlier sign-in has ended (its answer came back); joined here.
  job.thread = std::jthread();
  const AccountTypeInfo& type = *job.type;
  const ImapAccountSettings account = job.account;
  // Tokens for the stored values go to the store at once; those for values the page has not
  // saved wait for its OK.
  const bool stored = MatchesStored(slot, account.server, account.user, account.authMethod);
  job.thread = std::jthread([this, &type, slot, account, generation, stored](std::stop_token stop) {
    // An engine of the sign-in's own with the page's values: the running account (if any)
    // may be rebuilt meanwhile. Only with the stored values does it write the store.
    OptionFlags flags;
    ImapEngine engine(
        type, slot,
        ImapEngineServices{services_.clock, flags, stored ? &services_.store : nullptr, nullptr,
                           nullptr, std::string(), services_.trace});
    engine.ApplySettings(account);
    QString startFailure;
    const auto started = [&](const AuthorizationStart& start) {
      if (start.status != TokenStatus::Ready) {
        startFailure = ToQString(start.failure.view());
        return;
      }
      if (start.userCode.isEmpty())
        return;
      const QString userCode = ToQString(start.userCode.view());
      const QString address = ToQString(start.address.view());
      const QString message = ToQString(start.message.view());
      QMetaObject::invokeMethod(
          this,
          [this, slot, userCode, address, message] {
            emit deviceCodeShown(static_cast<int>(slot), userCode, address, message);
          },
          Qt::QueuedConnection);
    };
    // The desktop's browser is started from the GUI thread (the handler may be Qt's, which
    // wants that thread); a failure there shows in the trace, and the sign-in waits until it
    // is cancelled or its time is up.
    const auto openAddress = [this](const std::string& address) {
      QMetaObject::invokeMethod(
          this,
          [this, address] {
            if (!services_.openAddress || !services_.openAddress(address)) {
              if (services_.trace)
                services_.trace->Record("SignInBrowserNotStarted");
            }
          },
          Qt::QueuedConnection);
      return true;
    };
    const TokenStatus status = SignInWithBrowser(services_.authorizer, engine, openAddress, started,
                                                 kBrowserTimeoutMs, stop);
    if (status == TokenStatus::Ready) {
      const Text accessToken = engine.AccessToken();
      const Text refreshToken = engine.settings().refreshToken;
      QMetaObject::invokeMethod(
          this,
          [this, slot, generation, accessToken, refreshToken, stored, account] {
            Job& ended = jobs_[slot];
            if (stored) {
              if (services_.signedIn)
                services_.signedIn(slot, accessToken, refreshToken);
            } else if (ended.cancelled || ended.generation != generation) {
              // Cancelled (the page went): nobody is left to save the values.
              Finish(slot, generation, false, tr("the sign-in was cancelled"));
              return;
            } else {
              Pending& pending = pending_[slot];
              pending.valid = true;
              pending.server = account.server;
              pending.user = account.user;
              pending.authMethod = account.authMethod;
              pending.accessToken = accessToken;
              pending.refreshToken = refreshToken;
            }
            Finish(slot, generation, true, QString());
          },
          Qt::QueuedConnection);
      return;
    }
    QString reason;
    if (stop.stop_requested())
      reason = tr("the sign-in was cancelled");
    else if (!startFailure.isEmpty())
      reason = startFailure;
    else
      reason = QString::fromStdString(services_.authorizer.LastNote(slot));
    if (reason.isEmpty())
      reason = tr("the sign-in did not finish");
    QMetaObject::invokeMethod(
        this, [this, slot, generation, reason] { Finish(slot, generation, false, reason); },
        Qt::QueuedConnection);
  });
}

void ImapSignInRunner::Cancel(uint32_t slot) {
  if (!running(slot))
    return;
  Job& job = jobs_[slot];
  job.cancelled = true;
  if (job.throughHelper) {
    // The login window is the user's to close; its answer no longer counts.
    ++job.generation;
    job.running = false;
    emit finished(static_cast<int>(slot), false, tr("the sign-in was cancelled"));
    return;
  }
  job.thread.request_stop();
}

void ImapSignInRunner::Finish(uint32_t slot, uint64_t generation, bool signedIn,
                              const QString& reason) {
  if (slot >= kImapSlotCount || jobs_[slot].generation != generation || !jobs_[slot].running)
    return;
  jobs_[slot].running = false;
  emit finished(static_cast<int>(slot), signedIn, reason);
}

bool ImapSignInRunner::pendingSignIn(uint32_t slot) const {
  return slot < kImapSlotCount && pending_[slot].valid;
}

void ImapSignInRunner::KeepPendingSignIn(uint32_t slot) {
  if (!pendingSignIn(slot))
    return;
  const Pending pending = std::exchange(pending_[slot], Pending());
  // Values changed again after the sign-in are another account: its tokens are not theirs.
  if (!MatchesStored(slot, pending.server, pending.user, pending.authMethod)) {
    if (services_.trace)
      services_.trace->Record("SignInNotKeptForOtherValues");
    return;
  }
  ProtectText(services_.store, ImapSettingNamesForSlot(slot).refreshToken, pending.refreshToken);
  if (services_.signedIn)
    services_.signedIn(slot, pending.accessToken, pending.refreshToken);
}

void ImapSignInRunner::DropPendingSignIn(uint32_t slot) {
  if (slot < kImapSlotCount)
    pending_[slot] = Pending();
}

}  // namespace tarvel
