#include <QApplication>

#include "accounts/account_type_list.h"
#include "accounts/check_in_relay.h"
#include "accounts/option_flags.h"
#include "app/check_cycle.h"
#include "app/check_notifier.h"
#include "app/engine_registry.h"
#include "app/login_runner.h"
#include "app/qt_main_window.h"
#include "app/window_messages.h"
#include "maintenance/diagnostic_trace.h"
#include "platform/clock.h"

namespace {

class NoLoginWindow : public tarvel::LoginRunner {
 public:
  bool IsOpen() const override { return false; }
  void BringToFront() override {}
  bool Run(uint32_t) override { return true; }
};

class CycleHandler : public tarvel::MainWindowHandler {
 public:
  explicit CycleHandler(tarvel::CheckCycle& cycle) : cycle_(cycle) {}
  intptr_t OnMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
    cycle_.HandleMessage(message, wParam, lParam);
    return 0;
  }
  void OnTimer(uint32_t timerId) override { cycle_.HandleTimer(timerId); }

 private:
  tarvel::CheckCycle& cycle_;
};

}  // namespace

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QApplication::setApplicationName("Tarvel E-Mail Notifier");
  QApplication::setQuitOnLastWindowClosed(false);

  tarvel::OptionFlags flags;
  tarvel::SystemClock clock;
  tarvel::CheckInRelay checkInRelay;
  tarvel::EngineContext engineContext;
  engineContext.flags = &flags;
  engineContext.clock = &clock;
  engineContext.checkIn = &checkInRelay;
  tarvel::AccountTypeList accounts(flags, [&](const tarvel::AccountTypeInfo& type) {
    return tarvel::CreateEngine(type, engineContext);
  });
  tarvel::QtMainWindow mainWindow;
  tarvel::SilentNotifier notifier;
  NoLoginWindow loginWindow;
  tarvel::NullTrace trace;
  tarvel::CheckCycle cycle(accounts, mainWindow, notifier, loginWindow, clock, trace);
  cycle.setFirstDayOfWeek(tarvel::LocaleFirstDayOfWeek());
  CycleHandler handler(cycle);
  mainWindow.setHandler(&handler);

  // Engine threads (an IMAP IDLE that ends) start checks through the relay.
  checkInRelay.Connect([&cycle] { cycle.CheckIn(tarvel::CheckTrigger::Timed); });

  cycle.CheckIn(tarvel::CheckTrigger::Timed);
  mainWindow.SetTimer(tarvel::kTimerSilence, tarvel::kSilenceTickMs);
  const int exitCode = QApplication::exec();
  accounts.checkThread().waitFinished(0);
  checkInRelay.Disconnect();
  return exitCode;
}
