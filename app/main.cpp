#include <QApplication>

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
#include "resources/string_table.h"
#include "ui/desktop_notification.h"
#include "ui/new_mail_notice.h"
#include "ui/notice_notifier.h"
#include "ui/popup_presenter.h"
#include "ui/popup_services.h"
#include "ui/reader_launch.h"
#include "ui/user_busy.h"

int main(int argc, char* argv[]) {
  QApplication qtApplication(argc, argv);
  QApplication::setApplicationName(
      QString::fromStdU16String(std::u16string(tarvel::kProgramTitle)));
  QApplication::setQuitOnLastWindowClosed(false);

  std::vector<std::string> arguments(argv + 1, argv + argc);
  tarvel::TraceLog trace(tarvel::TraceLog::DefaultPath());
  tarvel::StoreApplicationSettings settings(tarvel::RegistryStore::DefaultPath(),
                                            tarvel::ProgramFolder());
  tarvel::SystemClock clock;
  tarvel::Application* running = nullptr;

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
  tarvel::NeverBusy userBusy;
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
  tarvel::PopupServices services(trace, popupPresenter);
  tarvel::NoticeNotifier notifier;
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
      tarvel::ApplicationParts{settings, services, notifier, services, clock, trace, engineFactory},
      std::move(arguments));
  running = &application;
  tarvel::DesktopReaderLauncher readerLauncher;
  tarvel::DesktopReaders readers([&application] { return &application.accounts(); },
                                 readerLauncher);
  services.openReaders = [&readers](uint32_t typeMask) { readers.OpenReaders(typeMask); };
  openReaders = [&] {
    services.OpenReaders(application.cycle().newMailMask());
    openNewMailReaders();
  };
  desktopNotification.setClickAction(popupHooks.open);
  // Before the start-up, whose first check may already bring new mail.
  notice = std::make_unique<tarvel::NewMailNotice>(application.flags(), application.mainWindow(),
                                                   desktopNotification);
  notifier.setNotice(notice.get());
  // A second start hands its request to the running instance and ends with exit code 0.
  if (application.OnCreate() != 0)
    return 0;
  notice->setToolTipSeconds(settings.globals().toolTipTime);
  checkInRelay.Connect(
      [&application] { application.cycle().CheckIn(tarvel::CheckTrigger::Timed); });
  application.WatchTerminationSignals();
  application.WatchStandby();
  const int exitCode = QApplication::exec();
  checkInRelay.Disconnect();
  notifier.setNotice(nullptr);
  // The shutdown has saved everything; a parked thread must not hold up the rest.
  tarvel::EndIfAThreadIsParked(exitCode);
  return exitCode;
}
