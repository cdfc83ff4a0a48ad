#pragma once

#include <QObject>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "accounts/check_in_relay.h"
#include "accounts/main_thread_relay.h"
#include "accounts/registry_store.h"
#include "app/bus_mail_state.h"
#include "app/check_notifier.h"
#include "app/store_application_settings.h"
#include "desktop/application.h"
#include "desktop/bus_interface.h"
#include "desktop/popup_services.h"
#include "engines/protocol/oauth_authorizer.h"
#include "maintenance/trace_log.h"
#include "maintenance/update_checker.h"
#include "platform/clock.h"
#include "platform/http_session.h"
#include "ui/alerts/desktop_alerts.h"
#include "ui/alerts/qt_sound_player.h"
#include "ui/alerts/user_busy.h"
#include "ui/mail_list/mail_list_notifier.h"
#include "ui/mail_list/mail_list_window.h"
#include "ui/notice/desktop_notification.h"
#include "ui/notice/new_mail_notice.h"
#include "ui/notice/notice_notifier.h"
#include "ui/notice/popup_presenter.h"
#include "ui/notice/update_prompt.h"
#include "ui/options/autostart.h"
#include "ui/options/imap_sign_in.h"
#include "ui/options/options_dialog.h"
#include "ui/readers/reader_launch.h"
#include "ui/tray/tray_services.h"
#include "ui/web_login/login_windows.h"
#include "ui/web_login/web_logout_runner.h"

namespace tarvel {

// The desktop program `tarvel`: owns every part of it and wires them together. The parts are
// built in the order of the members below and destroyed in the reverse order, so a part may
// hold a reference to any part above it: the trace, the settings and the clock first, then
// the alerts and the notice's popup, the services (the tray over the popup's), the mail list,
// the features that follow the checks and their list, the application, the readers, the mail
// list window and the options. The QApplication exists before and outlives the program.
class DesktopProgram {
 public:
  // Names the program and its icon to Qt; before a DesktopProgram is built.
  static void PrepareQt();

  explicit DesktopProgram(std::vector<std::string> arguments);
  ~DesktopProgram();
  DesktopProgram(const DesktopProgram&) = delete;
  DesktopProgram& operator=(const DesktopProgram&) = delete;

  // Starts up, runs the event loop until the program ends and returns its exit code; 0 at
  // once when another instance runs (it was handed the request).
  int Run();
  // The program to start once this one has ended: the new version an update swapped in;
  // empty for none.
  const std::string& restartProgram() const { return restartProgram_; }

 private:
  // `LastCheck` and `LastCheckVersion` in the settings store.
  class StoreUpdateState : public UpdateCheckState {
   public:
    explicit StoreUpdateState(StoreApplicationSettings& settings) : settings_(settings) {}
    std::optional<uint64_t> ReadLastCheck() override;
    void WriteLastCheck(uint64_t seconds) override;
    Text ReadDeclinedVersion() override;
    void WriteDeclinedVersion(const Text& version) override;

   private:
    StoreApplicationSettings& settings_;
  };

  // The popup asks the alerts' busy rule (do-not-disturb, screen saver, full screen).
  // The popup asks the alerts' busy rule (do-not-disturb, screen saver, full screen). The
  // rule asks other programs over D-Bus and the X server, so it is asked on the check thread
  // just before a popup notice (Refresh); the GUI thread reads the answer.
  class AlertsBusyProbe : public UserBusyProbe {
   public:
    explicit AlertsBusyProbe(DesktopAlerts& alerts) : alerts_(alerts) {}
    void Refresh() { busy_.store(alerts_.alerts().IsUserBusy()); }
    bool IsUserBusy() override { return busy_.load(); }

   private:
    DesktopAlerts& alerts_;
    std::atomic<bool> busy_{false};
  };

  PopupPresenter::Hooks PopupHooks();
  TraySettings ReadTraySettings() const;
  MailListBuilder::Sources MailListSources();
  const AccountTypeList* RunningAccounts() const;
  EngineFactory Engines();
  LoginWindows::Hooks LoginHooks();
  BusInterface::Hooks BusHooks();
  void WireMailListWindow();
  void WireOptions();
  // The popup's Open and the notification's click: the readers of the new mail, and a check
  // ten seconds later.
  void OpenNewMailReaders();
  // Marks the records of the ids as read (on the marker's thread). On the main thread after:
  // the marked ones have left the bus's records and count, a check brings the tray and the
  // mail list up to date, and a failure is told in a notification when `tellFailure`; then
  // `done` (on any thread) gets the outcome.
  void MarkRead(std::vector<std::string> ids, bool tellFailure, MailMarker::Done done);
  // The weekly update check: started by the application unless switched off, on the update
  // host of the settings (`UpdateHost`); without one it is off.
  void WireUpdateCheck();
  void StartUpdateCheck();
  Text UpdateHost();

  TraceLog trace_;
  StoreApplicationSettings settings_;
  SystemClock clock_;
  // The application once it is built; the engines and the alerts ask for it.
  Application* running_ = nullptr;
  // The alerts write the unread counts into the per-user registry store, whatever the mode
  // of the settings; the store's file is shared safely between its users.
  RegistryStore userRegistry_;
  DesktopAlerts alerts_;
  // The new-mail notice: the popup on the main window's message, or a desktop notification.
  std::unique_ptr<NewMailNotice> notice_;
  AlertsBusyProbe userBusy_;
  // The program's own Wayland connection where the popup is a layer surface (before the
  // presenter that uses it).
  std::unique_ptr<WaylandClient> waylandClient_;
  PopupPresenter popupPresenter_;
  DesktopNotification desktopNotification_;
  // The popup's services stand in for what is not built yet (login window); the tray takes
  // its own part and hands the rest on to them.
  PopupServices placeholders_;
  TrayServices services_;
  // The mail list page is built on the check thread from the program's own templates; the
  // window reloads it on the main thread.
  std::unique_ptr<MailListController> mailList_;
  MailListBuilder mailListBuilder_;
  // The features that follow the checks, and their list in the order each step reaches them.
  NoticeNotifier noticeNotifier_;
  MailListNotifier mailListNotifier_;
  TrayCheckNotifier trayNotifier_;
  AlertsNotifier alertsNotifier_;
  // The session-bus interface: the records of each check go to its state on the check thread
  // and are published on the main thread; its commands reach the check cycle.
  BusMailState busMailState_;
  BusInterface busInterface_;
  BusMailNotifier busMailNotifier_;
  CheckObservers observers_;
  // Engine threads (an IMAP IDLE that ends) start checks through the relay; it lives longer
  // than the application and is disconnected before the cycle goes.
  CheckInRelay checkInRelay_;
  // The Notes engine posts its request to the main window through this relay, connected
  // while the window exists; engines queue their settings writes through it too, run in the
  // context of the object below (a queued task dies with it, before the settings go).
  MainThreadRelay mainThreadRelay_;
  QObject mainThreadTasks_;
  // The IMAP accounts' OAuth2 token renewal, on an HTTP session of its own; the engines use
  // it, so it outlives them. The stop signal, set when the program ends, cuts a token request
  // in flight short, so that neither a sign-in nor a refresh holds the exit up.
  std::atomic<bool> oauthStop_{false};
  HttpSession oauthHttp_;
  OAuthAuthorizer oauth_;
  // The login windows of the types whose check asked for a sign-in; the check cycle runs them.
  LoginWindows loginWindows_;
  Application application_;
  // Marks mail as read on its server for the notice's action and the bus; it goes before
  // the application, whose engines it calls.
  std::unique_ptr<MailMarker> mailMarker_;
  DesktopReaderLauncher readerLauncher_;
  DesktopReaders readers_;
  QtSoundPlayer optionsSoundPlayer_;
  AutostartPlace autostartPlace_;
  // Ends a web type's signed-in session for the account-change link; it waits for its worker
  // when it goes, before the options it serves.
  std::unique_ptr<WebLogoutRunner> webLogout_;
  // The IMAP accounts' OAuth2 sign-in from their pages (the desktop's browser, or the browser
  // helper's login window once plugged in); it stops and waits for its workers when it goes,
  // after the pages and before the accounts and the authoriser.
  std::unique_ptr<ImapSignInRunner> imapSignIn_;
  OptionsContext optionsContext_;
  std::unique_ptr<OptionsController> options_;
  // The update check goes first at the end: its thread is stopped before the parts its
  // hooks reach.
  StoreUpdateState updateState_{settings_};
  UpdatePrompt updatePrompt_{[](const QString& url) { OpenWithDefaultHandler(url.toStdString()); }};
  UpdateChecker updateChecker_{updateState_, clock_, &trace_};
  std::string restartProgram_;
};

}  // namespace tarvel
