#include <QApplication>
#include <QFile>
#include <QScreen>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "accounts/check_in_relay.h"
#include "accounts/registry_store.h"
#include "app/application.h"
#include "app/check_cycle.h"
#include "app/check_notifier.h"
#include "app/engine_registry.h"
#include "app/exception_check.h"
#include "app/placeholder_services.h"
#include "app/store_application_settings.h"
#include "app/window_messages.h"
#include "maintenance/trace_log.h"
#include "platform/clock.h"
#include "platform/program_path.h"
#include "platform/version.h"
#include "resources/string_table.h"
#include "ui/autostart.h"
#include "ui/desktop_alerts.h"
#include "ui/desktop_notification.h"
#include "ui/html_container.h"
#include "ui/mail_list_notifier.h"
#include "ui/mail_list_window.h"
#include "ui/new_mail_notice.h"
#include "ui/notice_notifier.h"
#include "ui/options/account_page.h"
#include "ui/options/options_dialog.h"
#include "ui/popup_presenter.h"
#include "ui/popup_services.h"
#include "ui/qt_sound_player.h"
#include "ui/reader_launch.h"
#include "ui/tray_icon_images.h"
#include "ui/tray_services.h"
#include "ui/user_busy.h"
#include "ui/web_login/web_logout_runner.h"

namespace {

// The notification's picture: the tray's composed icon at the size notifications show.
constexpr int kNotificationIconSize = 64;

// The popup asks the alerts' busy rule (do-not-disturb, screen saver, full screen).
class AlertsBusyProbe : public tarvel::UserBusyProbe {
 public:
  explicit AlertsBusyProbe(tarvel::DesktopAlerts& alerts) : alerts_(alerts) {}
  bool IsUserBusy() override { return alerts_.alerts().IsUserBusy(); }

 private:
  tarvel::DesktopAlerts& alerts_;
};

}  // namespace

int main(int argc, char* argv[]) {
  // Answered before Qt starts, so that it needs no display.
  for (int index = 1; index < argc; ++index) {
    if (std::strcmp(argv[index], "--version") == 0) {
      std::printf("tarvel %.*s\n", static_cast<int>(tarvel::kVersion.size()),
                  tarvel::kVersion.data());
      return 0;
    }
  }
  QApplication qtApplication(argc, argv);
  QApplication::setApplicationName(
      QString::fromStdU16String(std::u16string(tarvel::kProgramTitle)));
  QApplication::setApplicationVersion(
      QString::fromUtf8(tarvel::kVersion.data(), static_cast<qsizetype>(tarvel::kVersion.size())));
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setWindowIcon(tarvel::ProgramIcon(tarvel::kApplicationIcon));

  std::vector<std::string> arguments(argv + 1, argv + argc);
  tarvel::TraceLog trace(tarvel::TraceLog::DefaultPath());
  tarvel::StoreApplicationSettings settings(tarvel::RegistryStore::DefaultPath(),
                                            tarvel::ProgramFolder());
  tarvel::SystemClock clock;
  tarvel::Application* running = nullptr;
  // The alerts write the unread counts into the per-user registry store, whatever the mode
  // of the settings; the store's file is shared safely between its users.
  tarvel::RegistryStore userRegistry(tarvel::RegistryStore::DefaultPath());
  tarvel::DesktopAlerts alerts(&userRegistry, &settings.store(), clock, tarvel::ProgramFolder());
  // The check thread reads the published copy of the settings, never the values in memory
  // that the options dialog edits on this thread.
  alerts.UseGlobals([&settings] { return settings.published(); });

  // The new-mail notice: the popup on the main window's message, or a desktop notification.
  // Opening the popup or clicking the notification opens the readers of the new mail and
  // checks again ten seconds later.
  const auto openNewMailReaders = [&running] {
    if (!running)
      return;
    constexpr uint32_t kCheckAfterReadersMs = 10'000;
    running->mainWindow().SetTimer(tarvel::kTimerCheck, kCheckAfterReadersMs);
  };
  std::unique_ptr<tarvel::NewMailNotice> notice;
  AlertsBusyProbe userBusy(alerts);
  std::function<void()> openReaders;
  tarvel::PopupPresenter::Hooks popupHooks;
  popupHooks.open = [&openReaders] {
    if (openReaders)
      openReaders();
  };
  popupHooks.content = [&notice] {
    return notice ? notice->popupContent() : tarvel::PopupContent();
  };
  popupHooks.settings = [&settings] {
    const tarvel::GlobalSettings& globals = settings.globals();
    tarvel::PopupSettings popup;
    popup.taskBarWindowWidth = globals.taskBarWindowWidth;
    popup.transparency = globals.transparency;
    popup.toolTipSeconds = globals.toolTipTime;
    popup.textColor = globals.textColor;
    popup.backgroundColor = globals.backgroundColor;
    popup.backgroundLogoColor = globals.backgroundLogoColor;
    return popup;
  };
  popupHooks.allowWhileBusy = [&settings] {
    return settings.store().readNumber(u"AllowToolTipInFullscreen", 0) == 1;
  };
  tarvel::PopupPresenter popupPresenter(popupHooks, userBusy);
  tarvel::DesktopNotification desktopNotification;
  // The popup's services stand in for what is not built yet (options, mail list, login
  // window); the tray takes its own part and hands the rest on to them.
  tarvel::PopupServices placeholders(trace, popupPresenter);
  tarvel::TrayServices services(placeholders, clock, [&settings] {
    tarvel::TraySettings tray;
    tray.alternatingShellIcon = settings.globals().alternatingShellIcon;
    tray.soundConfigured = !settings.globals().newMailSound.isEmpty();
    tray.pictureFolder = QString::fromStdString(tarvel::ProgramFolder());
    return tray;
  });
  services.setStopSound([&alerts] { alerts.alerts().StopNewMailSound(); });
  // The mail list page is built on the check thread from the program's own templates; the
  // window reloads it on the main thread.
  std::unique_ptr<tarvel::MailListController> mailList;
  tarvel::MailListBuilder::Sources mailListSources;
  mailListSources.loadTemplate = [](uint32_t id) {
    QFile file(u":/html/%1.html"_qs.arg(id));
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
  };
  mailListSources.settings = [&settings] {
    const std::shared_ptr<const tarvel::GlobalSettings> published = settings.published();
    const tarvel::GlobalSettings& globals = *published;
    tarvel::MailListSettings list;
    list.includeProvider = globals.mailListIncludeProvider == 1;
    list.colors = {globals.titleColor, globals.textColor,       globals.providerColor,
                   globals.noteColor,  globals.backgroundColor, globals.backgroundLogoColor};
    return list;
  };
  mailListSources.pageReady = [&mailList] {
    if (mailList)
      mailList->PostReload();
  };
  tarvel::MailListBuilder mailListBuilder(mailListSources);
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    mailListBuilder.setDpiFactor(tarvel::DpiFactorOf(screen));
  // A check's steps: the mail list rows and page, the notice, then the tray, then the alerts'
  // share of the tray update (keyboard display, unread counts), the sound and the haptic pulse.
  tarvel::NoticeNotifier noticeNotifier;
  tarvel::MailListNotifier mailListNotifier(noticeNotifier, mailListBuilder);
  tarvel::TrayCheckNotifier trayNotifier(mailListNotifier, services);
  tarvel::AlertsNotifier notifier(alerts.alerts(), trayNotifier,
                                  [&running]() -> const tarvel::AccountTypeList* {
                                    return running ? &running->accounts() : nullptr;
                                  });
  // Engine threads (an IMAP IDLE that ends) start checks through the relay; it lives longer
  // than the application and is disconnected before the cycle goes.
  tarvel::CheckInRelay checkInRelay;
  const auto engineFactory = [&](const tarvel::AccountTypeInfo& type) {
    tarvel::EngineContext context;
    context.settings = &settings.store();
    context.flags = running ? &running->flags() : nullptr;
    context.clock = &clock;
    context.checkIn = &checkInRelay;
    context.trace = &trace;
    return tarvel::CreateEngine(type, context);
  };
  tarvel::Application application(
      tarvel::ApplicationParts{settings, services, notifier, placeholders, clock, trace,
                               engineFactory},
      std::move(arguments));
  running = &application;
  services.Attach(application);
  // The tray's readers go through the placeholders' seam to the reader launch.
  tarvel::DesktopReaderLauncher readerLauncher;
  tarvel::DesktopReaders readers([&application] { return &application.accounts(); },
                                 readerLauncher);
  placeholders.openReaders = [&readers](uint32_t typeMask) { readers.OpenReaders(typeMask); };
  // The mail list window: a row opens its type's reader and checks again ten seconds later;
  // the user's close turns the option off and saves it.
  tarvel::MailListWindow::Hooks mailListHooks;
  mailListHooks.openReaders = [&services](uint32_t typeMask) { services.OpenReaders(typeMask); };
  mailListHooks.restartCheckTimer = [&application](uint32_t delayMs) {
    application.mainWindow().SetTimer(tarvel::kTimerCheck, delayMs);
  };
  mailListHooks.closedByUser = [&application, &settings] {
    settings.SaveFlags(tarvel::TurnOffMailList(application.flags()));
  };
  mailListHooks.page = [&mailListBuilder] { return mailListBuilder.page(); };
  mailList =
      std::make_unique<tarvel::MailListController>(mailListHooks, settings.store(), [&settings] {
        tarvel::MailListWindowOptions options;
        options.showInTaskbar = settings.store().readNumber(u"MailListShowInTaskbar", 0) != 0;
        options.topMost = settings.store().readNumber(u"MailListTopMost", 0) != 0;
        return options;
      });
  placeholders.setMailList(mailList.get());
  // The options dialog edits the store and the values in memory; its OK applies them and
  // starts a check at once, as the user's own request.
  tarvel::QtSoundPlayer optionsSoundPlayer;
  const tarvel::AutostartPlace autostartPlace =
      tarvel::AutostartPlaceForThisProgram(application.commandLine().portable);
  tarvel::OptionsContext optionsContext;
  optionsContext.store = &settings.store();
  optionsContext.globals = &settings.mutableGlobals();
  optionsContext.flags = &application.flags();
  // The account-change link ends the type's web session off the GUI thread; a successful
  // logout brings the next check forward.
  tarvel::WebLogoutRunner::Hooks logoutHooks;
  logoutHooks.startCheckTimer = [&application](uint32_t delayMs) {
    application.mainWindow().SetTimer(tarvel::kTimerCheck, delayMs);
  };
  logoutHooks.virgilioCredentialsCleared = [&settings] {
    settings.mutableGlobals().virgilioEmail.clear();
    settings.mutableGlobals().virgilioPassword.clear();
    settings.Publish();
  };
  tarvel::WebLogoutRunner webLogout(settings.store(), logoutHooks);
  optionsContext.logout = [&webLogout, &settings, &trace](const tarvel::AccountTypeInfo& type) {
    if (!webLogout.Start(type.typeBit, settings.globals().hotmailAccountType))
      trace.Record("LogoutNotStarted");
  };
  optionsContext.setCheckTimer = [&application](uint32_t delayMs) {
    application.mainWindow().SetTimer(tarvel::kTimerCheck, delayMs);
  };
  optionsContext.openUrl = [](std::string_view url) {
    tarvel::OpenWithDefaultHandler(std::string(url));
  };
  optionsContext.playSound = [&optionsSoundPlayer](const tarvel::Text& path) {
    optionsSoundPlayer.Play(path);
  };
  optionsContext.autostart = &autostartPlace;
  optionsContext.firstDayOfWeek = tarvel::LocaleFirstDayOfWeek();
  tarvel::OptionsDialog::Hooks optionsHooks;
  optionsHooks.createAccountPage = tarvel::CreateAccountPage;
  optionsHooks.saveFlags = [&settings](uint64_t flags) { settings.SaveFlags(flags); };
  // The dialog's end (OK, or Cancel after More Options edits) hands the values in memory to
  // the check thread in one step.
  optionsHooks.publishSettings = [&settings] { settings.Publish(); };
  optionsHooks.startCheck = [&application, &settings, &notice] {
    const tarvel::GlobalSettings& globals = settings.globals();
    tarvel::ApplyCheckSettings(globals, application.cycle());
    globals.ApplyTo(application.accounts());
    application.accounts().LoadSettings(settings.store());
    if (notice)
      notice->setToolTipSeconds(globals.toolTipTime);
    application.mainWindow().PostMessage(tarvel::kMsgStartCheck, 1, 0);
  };
  optionsHooks.showMailList = [&placeholders](bool show) {
    if (show)
      placeholders.OpenMailList();
    else
      placeholders.CloseMailList();
  };
  tarvel::OptionsController options(optionsContext, optionsHooks);
  placeholders.setOptions(&options);
  openReaders = [&] {
    alerts.alerts().StopNewMailSound();
    services.OpenReaders(application.cycle().newMailMask());
    openNewMailReaders();
  };
  desktopNotification.setClickAction(popupHooks.open);
  // Without a notification server the notice becomes the tray icon's own message; the
  // notification shows the tray's composed icon.
  desktopNotification.setFallback(
      [&services](const QString& title, const QString& text, int timeoutMs) {
        services.ShowMessage(title, text, timeoutMs);
      });
  desktopNotification.setIconProvider([&services](tarvel::CheckStatus) {
    return services.CurrentIconImage(kNotificationIconSize);
  });
  // Before the start-up, whose first check may already bring new mail.
  notice = std::make_unique<tarvel::NewMailNotice>(application.flags(), application.mainWindow(),
                                                   desktopNotification);
  noticeNotifier.setNotice(notice.get());
  // A second start hands its request to the running instance and ends with exit code 0.
  if (application.OnCreate() != 0)
    return 0;
  // The account types exist once the application is created.
  optionsContext.accounts = &application.accounts();
  notice->setToolTipSeconds(settings.globals().toolTipTime);
  checkInRelay.Connect(
      [&application] { application.cycle().CheckIn(tarvel::CheckTrigger::Timed); });
  application.WatchTerminationSignals();
  application.WatchStandby();
  const int exitCode = QApplication::exec();
  checkInRelay.Disconnect();
  placeholders.setOptions(nullptr);
  noticeNotifier.setNotice(nullptr);
  // The shutdown has saved everything; a parked thread must not hold up the rest.
  tarvel::EndIfAThreadIsParked(exitCode);
  return exitCode;
}
