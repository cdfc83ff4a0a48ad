#pragma once

#include <QObject>
#include <QRect>
#include <QSize>
#include <QTimer>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "engines/web/web_login.h"
#include "platform/text.h"
#include "platform/worker_thread.h"

namespace tarvel {

class SettingsStore;

// The folder suffix of the one browser profile of the types whose cookies are mirrored into
// the HTTP client's cookie store.
inline constexpr std::u16string_view kMirroredProfileSuffix = u"_Mirrored";
class WebView;

// The sign-in window of one web account type: the browser helper's visible view, titled
// with the program's name, showing the type's start page. LoginRules decide what happens;
// this object carries out their actions. The window's timers 5 to 8 are Qt timers on the GUI
// thread; every call of the view runs on a worker thread of the window's own, so the GUI
// thread never waits for the helper, and the tray, its menu and the check timer go on while
// the window is open.
class LoginWindow : public QObject {
 public:
  enum class Outcome {
    SignedIn,      // a rule recognised the end of the sign-in
    ClosedByUser,  // the user closed the window: not signed in
    Failed,        // the window could not be shown: no browser, no start page, or (IMAP
                   // rows) the start page did not load
    NotSignedIn,   // IMAP rows: the provider's answer came back but did not sign in
  };

  struct Options {
    web_login::StartPageContext startPage;
    // The screen's available area, in logical pixels; empty: no placement.
    QRect availableArea;
    // A PNG picture for the window's icon; empty: the helper's own.
    std::string iconPng;
    // IMAP rows, on the worker thread before the view is created: the authorisation's start
    // address and the script for timer 8. False: the window does not open.
    std::function<bool(Text* url, Text* pendingScript, std::stop_token stop)> beginOAuth;
    // IMAP rows, on the worker thread: hands the address the provider sent the browser back
    // to; true when the account is signed in.
    std::function<bool(const Text& url, std::stop_token stop)> completeOAuth;
  };

  // The size the window asks for before it is fitted into the screen.
  static constexpr QSize kPreferredSize{1024, 768};

  LoginWindow(uint32_t typeBit, SettingsStore& store, Options options, QObject* parent = nullptr);
  // Ends the worker: a view call still running ends at once, the view is closed.
  ~LoginWindow() override;
  LoginWindow(const LoginWindow&) = delete;
  LoginWindow& operator=(const LoginWindow&) = delete;

  // Starts the worker, which creates and shows the view. False for a type without sign-in.
  bool Open();
  // Raises the window above the others.
  void BringToFront();
  // Ends the window as not signed in.
  void Abort();

  uint32_t typeBit() const { return typeBit_; }
  bool finished() const { return finished_; }
  // Called once, on the GUI thread, after the view has closed.
  void setClosedHandler(std::function<void(Outcome)> handler) {
    closedHandler_ = std::move(handler);
  }

  // Where the window goes: the preferred size centred in the area; a side larger than the
  // area is shrunk to it, and a shrunk window is moved to the area's origin.
  static QRect Placement(QSize preferred, const QRect& area);
  // The folder suffix of the type's browser profile: the mirrored-cookie types share one of
  // their own, the IMAP accounts have one each, the other types use the shared profile.
  static Text ProfileSuffix(uint32_t typeBit);

 private:
  using Task = std::function<void(WebView&)>;

  static int NavigationThunk(const Text& url, int newWindow, void* context);
  static void MessageThunk(const Text& message, void* context);
  static void CompletedThunk(bool success, const Text& url, void* context);
  static void ClosedThunk(void* context);

  // On the helper connection's thread.
  int OnNavigation(const Text& url, bool newWindow);
  void OnCompleted(bool success, const Text& url);
  void OnMessage(const Text& message);
  // On the GUI thread.
  void Apply(const std::vector<web_login::LoginAction>& actions);
  void OnTimer(int timer);
  void Finish(Outcome outcome);
  void PostActions(std::vector<web_login::LoginAction> actions);

  // On the worker thread.
  uint32_t RunWorker();
  bool CreateView(WebView& view, std::stop_token stop);
  void Post(Task task);

  const uint32_t typeBit_;
  const web_login::WebType* const type_;
  SettingsStore& store_;
  Options options_;
  std::function<void(Outcome)> closedHandler_;
  QRect placement_;
  bool finished_ = false;
  std::array<QTimer, 4> timers_;  // 5, 6, 7, 8
  Text keptNewWindowUrl_;

  // The rules, the pending script and the form fields the page last showed; the helper's
  // thread and the GUI thread both use them.
  std::mutex rulesMutex_;
  web_login::LoginRules rules_;
  Text pendingScript_;
  std::optional<std::pair<Text, Text>> formFields_;
  bool onVirgilioPage_ = false;   // the page the view completed last is Virgilio's own
  bool loadSeen_ = false;         // a navigation of the view has completed
  bool oauthAnswerSeen_ = false;  // the provider sent the browser back (IMAP rows)

  // The worker's queue.
  std::mutex queueMutex_;
  std::condition_variable_any queueChanged_;
  std::deque<Task> tasks_;
  bool quit_ = false;
  // Worker thread only.
  bool oauthHanded_ = false;
  bool oauthSignedIn_ = false;
  WorkerThread worker_;
};

}  // namespace tarvel
