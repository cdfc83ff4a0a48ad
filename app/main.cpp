#include <QApplication>

#include <cstdio>
#include <cstring>
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
#include "maintenance/trace_log.h"
#include "platform/clock.h"
#include "platform/program_path.h"
#include "platform/version.h"
#include "resources/string_table.h"
#include "ui/autostart.h"
#include "ui/desktop_alerts.h"
#include "ui/reader_launch.h"
#include "ui/tray_icon_images.h"
#include "ui/tray_services.h"

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
  tarvel::PlaceholderServices placeholders(trace);
  tarvel::SystemClock clock;
  // The alerts write the unread counts into the per-user registry store, whatever the mode
  // of the settings; the store's file is shared safely between its users.
  tarvel::RegistryStore userRegistry(tarvel::RegistryStore::DefaultPath());
  tarvel::DesktopAlerts alerts(&userRegistry, &settings.store(), clock, tarvel::ProgramFolder());
  alerts.UseGlobals(settings.globals());
  tarvel::TrayServices services(placeholders, clock, [&settings] {
    tarvel::TraySettings tray;
    tray.alternatingShellIcon = settings.globals().alternatingShellIcon;
    tray.soundConfigured = !settings.globals().newMailSound.isEmpty();
    tray.pictureFolder = QString::fromStdString(tarvel::ProgramFolder());
    return tray;
  });
  services.setStopSound([&alerts] { alerts.alerts().StopNewMailSound(); });
  // The tray shows a check's results first, then the alerts add their share of the tray
  // update (keyboard display, unread counts) and the sound and haptic pulse.
  tarvel::SilentNotifier silent;
  tarvel::TrayCheckNotifier trayNotifier(silent, services);
  tarvel::Application* running = nullptr;
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
  // A second start hands its request to the running instance and ends with exit code 0.
  if (application.OnCreate() != 0)
    return 0;
  // The first start of an installed copy switches start at login on (never a portable one).
  tarvel::ApplyStartAtLoginDefault(
      settings.store(), tarvel::AutostartPlaceForThisProgram(application.commandLine().portable),
      tarvel::IsInstalledCopy(tarvel::ProgramFolder()));
  checkInRelay.Connect(
      [&application] { application.cycle().CheckIn(tarvel::CheckTrigger::Timed); });
  application.WatchTerminationSignals();
  application.WatchStandby();
  const int exitCode = QApplication::exec();
  checkInRelay.Disconnect();
  // The shutdown has saved everything; a parked thread must not hold up the rest.
  tarvel::EndIfAThreadIsParked(exitCode);
  return exitCode;
}
