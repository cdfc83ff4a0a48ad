#pragma once

#include <QObject>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "engines/protocol/imap_engine.h"

namespace tarvel {

class Clock;
class DiagnosticTrace;
class OAuthAuthorizer;
class SettingsStore;
struct AccountTypeInfo;

// The OAuth2 sign-in of an IMAP slot as the account page starts it. Every call and signal is
// on the GUI thread; the sign-in itself never runs there.
class ImapSignIn : public QObject {
  Q_OBJECT

 public:
  using QObject::QObject;

  // Starts the sign-in of the slot with the page's values (server, user, method); false when
  // one of the slot runs already.
  virtual bool Start(const AccountTypeInfo& type, uint32_t slot,
                     const ImapAccountSettings& account) = 0;
  // Ends the running sign-in of the slot; `finished` follows.
  virtual void Cancel(uint32_t slot) = 0;
  virtual bool running(uint32_t slot) const = 0;

 signals:
  // The device flow: the code to type on the provider's page, that page, its instructions.
  void deviceCodeShown(int slot, const QString& userCode, const QString& address,
                       const QString& message);
  // The sign-in ended: signed in, or why not.
  void finished(int slot, bool signedIn, const QString& reason);
};

// The sign-in outside the program's own browser window: on a worker thread per slot, the
// authorisation code flow in the desktop's browser with the loopback redirect, or the device
// flow (the user code shown on the page, the verification page opened). A sign-in through
// the browser helper's login window, when one is plugged in, is preferred.
class ImapSignInRunner : public ImapSignIn {
 public:
  // The sign-in through the browser helper's login window: starts it and calls `done` on the
  // GUI thread at its end; false when it cannot (the helper is missing), and the desktop's
  // browser is used instead.
  using BrowserHelperSignIn =
      std::function<bool(uint32_t slot, const ImapAccountSettings& account,
                         std::function<void(bool signedIn, const QString& reason)> done)>;

  struct Services {
    OAuthAuthorizer& authorizer;
    SettingsStore& store;
    Clock& clock;
    DiagnosticTrace* trace = nullptr;
    // Hands an address to the desktop's browser (xdg-open); GUI thread.
    std::function<bool(const std::string& address)> openAddress;
    // The tokens of a finished sign-in for the running account of the slot; GUI thread. The
    // refresh token is in the store already.
    std::function<void(uint32_t slot, const Text& accessToken, const Text& refreshToken)> signedIn;
  };
  // How long a code-flow sign-in waits for the browser to come back.
  static constexpr int kBrowserTimeoutMs = 10 * 60 * 1000;

  explicit ImapSignInRunner(Services services, QObject* parent = nullptr);
  // Stops every running sign-in and waits for its thread (each wait ends within a moment of
  // the stop; a token request in flight ends with the HTTP session's stop signal).
  ~ImapSignInRunner() override;

  void setBrowserHelperSignIn(BrowserHelperSignIn signIn) { helper_ = std::move(signIn); }

  bool Start(const AccountTypeInfo& type, uint32_t slot,
             const ImapAccountSettings& account) override;
  void Cancel(uint32_t slot) override;
  bool running(uint32_t slot) const override;

 private:
  struct Job {
    std::jthread thread;
    bool running = false;  // GUI thread
    bool throughHelper = false;
    uint64_t generation = 0;  // which start a late answer belongs to
  };
  void Finish(uint32_t slot, uint64_t generation, bool signedIn, const QString& reason);

  Services services_;
  BrowserHelperSignIn helper_;
  std::array<Job, kImapSlotCount> jobs_;
};

}  // namespace tarvel
