#include <QApplication>

#include <string>
#include <vector>

#include "accounts/registry_store.h"
#include "app/application.h"
#include "app/check_notifier.h"
#include "app/engine_registry.h"
#include "app/placeholder_services.h"
#include "app/store_application_settings.h"
#include "maintenance/trace_log.h"
#include "platform/clock.h"
#include "platform/program_path.h"
#include "resources/string_table.h"

int main(int argc, char* argv[]) {
  QApplication qtApplication(argc, argv);
  QApplication::setApplicationName(
      QString::fromStdU16String(std::u16string(tarvel::kProgramTitle)));
  QApplication::setQuitOnLastWindowClosed(false);

  std::vector<std::string> arguments(argv + 1, argv + argc);
  tarvel::TraceLog trace(tarvel::TraceLog::DefaultPath());
  tarvel::StoreApplicationSettings settings(tarvel::RegistryStore::DefaultPath(),
                                            tarvel::ProgramFolder());
  tarvel::PlaceholderServices services(trace);
  tarvel::SilentNotifier notifier;
  tarvel::SystemClock clock;
  tarvel::Application application(tarvel::ApplicationParts{settings, services, notifier, services,
                                                           clock, trace, tarvel::CreateEngine},
                                  std::move(arguments));
  // A second start hands its request to the running instance and ends with exit code 0.
  if (application.OnCreate() != 0)
    return 0;
  application.WatchTerminationSignals();
  application.WatchStandby();
  return QApplication::exec();
}
