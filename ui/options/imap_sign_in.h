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

  // A sign-in made with values other than the stored ones keeps its tokens aside: they
  // belong to an account the options dialog may never save. The page's OK (after it stored
  // its values) keeps them for the slot when the stored values are now the ones signed in
  // with, and forgets them otherwise; Drop forgets them (the dialog was cancelled).
  virtual bool pendingSignIn(uint32_t slot) const = 0;
  virtual void KeepPendingSignIn(uint32_t slot) = 0;
  virtual void DropPendingSignIn(uint32_t slot) = 0;

 signals:
  // The device flow: the code to type on the provider's page, that page, its instructions.
  void deviceCodeShown(int slot, const QString& userCode, const QString& address,
                       const QString& message);
  // The sign-in ended: signed in, or why not.
  void finished(int slot, bool signedIn, const QString& reason);
};

// The sign-in of an IMAP slot. A sign-in through the browser helper's login window, when one
// is plugged in and takes it, is preferred; otherwise, and when that window cannot be shown,
// it runs on a worker thread per slot: the authorisation code flow in the desktop's browser
// with the loopback redirect, or the device flow (the user code shown on the page, the
// verification page opened).
class ImapSignInRunner : public ImapSignIn {
 public:
  // How a sign-in through the login window ended.
  enum class HelperEnd {
    SignedIn,
    NotSignedIn,  // the provider's answer did not sign in
    Closed,       // the user closed the window: the sign-in is cancelled
    NotShown,     // the window could not be shown or its page did not load
  };
  // The sign-in through the browser helper's login window: starts it and calls `done` once,
  // on the GUI thread, after it returned; false when it does not take this sign-in (no
  // helper, a window already open, other values than the page's), and the desktop's browser
  // is used instead.
  using BrowserHelperSignIn = std::function<bool(uint32_t slot, const ImapAccountSettings& account,
                                                 std::function<void(HelperEnd end)> done)>;

  struct Services {
    OAuthAuthorizer& authorizer;
    SettingsStore& store;
    Clock& clock;
    DiagnosticTrace* trace = nullptr;
    // Hands an address to the desktop's browser (xdg-open); GUI thread.
    std::function<bool(const std::string& address)> openAddress;
    // The tokens of a finished sign-in for the running account of the slot, made with the
    // stored values (or kept on OK); GUI thread. The refresh token is in the store already.
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
  bool pendingSignIn(uint32_t slot) const override;
  void KeepPendingSignIn(uint32_t slot) override;
  void DropPendingSignIn(uint32_t slot) override;

 private:
  // Everything but `thread` is the GUI thread's.
  struct Job {
    std::jthread thread;
    bool running = false;
    bool throughHelper = false;
    bool cancelled = false;
    uint64_t generation = 0;  // which start a late answer belongs to
    const AccountTypeInfo* type = nullptr;
    ImapAccountSettings account;
  };
  struct Pending {
    bool valid = false;
    Text server;
    Text user;
    uint32_t authMethod = 0;
    Text accessToken;
    Text refreshToken;
  };
  // Whether the values are the slot's stored ones.
  bool MatchesStored(uint32_t slot, const Text& server, const Text& user,
                     uint32_t authMethod) const;
  void StartInDesktopBrowser(uint32_t slot, uint64_t generation);
  void OnHelperEnd(uint32_t slot, uint64_t generation, HelperEnd end);
  void Finish(uint32_t slot, uint64_t generation, bool signedIn, const QString& reason);

  Services services_;
  BrowserHelperSignIn helper_;
  std::array<Job, kImapSlotCount> jobs_;
  std::array<Pending, kImapSlotCount> pending_;
};

}  // namespace tarvel
