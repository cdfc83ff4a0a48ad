#include "ui/options/imap_sign_in.h"

#include <QMetaObject>
#include <QPointer>

#include <utility>

#include "accounts/option_flags.h"
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
  if (helper_) {
    QPointer<ImapSignInRunner> self(this);
    const bool started =
        helper_(slot, account, [self, slot, generation](bool signedIn, const QString& reason) {
          if (self)
            self->Finish(slot, generation, signedIn, reason);
        });
    if (started) {
      job.running = true;
      job.throughHelper = true;
      return true;
    }
  }
  // The thread of an earlier sign-in has ended (its answer came back); joined here.
  job.thread = std::jthread();
  job.running = true;
  job.throughHelper = false;
  job.thread = std::jthread([this, &type, slot, account, generation](std::stop_token stop) {
    // An engine of the sign-in's own with the page's values: the running account (if any)
    // may be rebuilt meanwhile, and the values on the page may not be saved yet. It stores
    // the refresh token for the slot.
    OptionFlags flags;
    ImapEngine engine(type, slot,
                      ImapEngineServices{services_.clock, flags, &services_.store, nullptr, nullptr,
                                         std::string(), services_.trace});
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
          [this, slot, generation, accessToken, refreshToken] {
            if (services_.signedIn)
              services_.signedIn(slot, accessToken, refreshToken);
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
  return true;
}

void ImapSignInRunner::Cancel(uint32_t slot) {
  if (!running(slot))
    return;
  Job& job = jobs_[slot];
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

}  // namespace tarvel
