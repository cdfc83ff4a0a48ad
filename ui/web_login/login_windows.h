#pragma once

#include <QObject>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string_view>

#include "app/login_runner.h"
#include "ui/web_login/login_window.h"

namespace tarvel {

class SettingsStore;

// The login windows as the check cycle runs them: one window at a time, once for each type
// whose check asked for a sign-in, in the order asked (the list order). The windows are not
// modal: Run queues the type and returns, so the tray, its menu and the check timer go on.
//
// A type whose window the user closed without signing in is not asked again until the check
// timer fires next (OnCheckTimer): the immediate re-checks that follow a sign-in round find it
// still needing a sign-in, and it waits for the next regular check instead of popping up
// again. Once the last window of a round closed and some type signed in, the next check is
// brought forward; otherwise the check timer runs at the regular interval.
class LoginWindows : public QObject, public LoginRunner {
 public:
  // The delay of the check that follows a successful sign-in.
  static constexpr uint32_t kCheckAfterSignInMs = 250;

  struct Hooks {
    // What the start pages depend on; GUI thread.
    std::function<web_login::StartPageContext(uint32_t typeBit)> startPage;
    // Timer 1 of the main window.
    std::function<void(uint32_t milliseconds)> startCheckTimer;
    // Timer 1 of the main window at the regular interval: a check that ended while a window
    // was open set no timer, so a round that ends without a sign-in sets it again.
    std::function<void()> startRegularCheckTimer;
    std::function<void(std::string_view entry)> trace;
    // IMAP rows, on the window's worker thread (see LoginWindow::Options).
    std::function<bool(uint32_t typeBit, Text* url, Text* pendingScript, std::stop_token stop)>
        beginOAuth;
    std::function<bool(uint32_t typeBit, const Text& url, std::stop_token stop)> completeOAuth;
    // Every window's end, after the view closed; GUI thread. Optional.
    std::function<void(uint32_t typeBit, LoginWindow::Outcome outcome)> closed;
  };

  LoginWindows(SettingsStore& store, Hooks hooks, QObject* parent = nullptr);
  ~LoginWindows() override;

  // LoginRunner. IsOpen is true for a window of an earlier check round (the types of one
  // round are all queued).
  bool IsOpen() const override;
  void BringToFront() override;
  bool Run(uint32_t typeBit) override;
  bool CanSignIn(uint32_t typeBit) const override;
  void OnCheckTimer() override;

  // The account page's sign-in of an IMAP account through the login window: the OAuth2
  // authorisation in the browser helper's view, its answer taken at the loopback redirect.
  // False (and `done` not called) when the helper is missing or a window is open; otherwise
  // `done` gets the window's end once, on the GUI thread and never within this call: Failed
  // when the window could not be shown (the sign-in may go another way), ClosedByUser when
  // the user closed it, NotSignedIn when the provider's answer did not sign in.
  bool OpenForImapSignIn(uint32_t typeBit, std::function<void(LoginWindow::Outcome)> done);
  // The account page's sign-in of a web type (not counted as dismissed when closed).
  bool OpenForSignIn(uint32_t typeBit);

  // Ends every window without a report (the program ends; the engines the IMAP rows use
  // go next).
  void CloseAll();

  // Whether the browser helper program is there to run.
  static bool BrowserAvailable();

  // The type whose window is open, 0 when none.
  uint32_t openType() const;
  // The types waiting for their window.
  uint32_t queuedMask() const;
  uint32_t dismissedMask() const { return dismissed_; }

 private:
  struct Entry {
    uint32_t typeBit = 0;
    std::function<void(LoginWindow::Outcome)> imapDone;
    bool fromCheck = true;
  };
  void OpenNext();
  void OnClosed(LoginWindow* window, const Entry& entry, LoginWindow::Outcome outcome);
  void Trace(std::string_view entry);

  SettingsStore& store_;
  Hooks hooks_;
  std::deque<Entry> queue_;
  std::unique_ptr<LoginWindow> window_;
  Entry current_;
  uint32_t dismissed_ = 0;
  bool signedInThisRound_ = false;
  // Set while the check cycle's handling that opened a window is still running.
  bool openedThisTurn_ = false;
};

}  // namespace tarvel
