#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>
#include <string>
#include <vector>

#include "accounts/account_type_list.h"
#include "accounts/option_flags.h"
#include "app/check_cycle.h"
#include "app/command_line.h"
#include "app/main_window_port.h"
#include "app/running_application.h"
#include "desktop/single_instance.h"
#include "ui/adapters/qt_main_window.h"

namespace tarvel {

class ApplicationSettings;
class CheckNotifier;
class Clock;
class DesktopServices;
class LoginRunner;
class TraceLog;

// What the application is built from; tests pass fakes.
struct ApplicationParts {
  ApplicationSettings& settings;
  DesktopServices& services;
  CheckNotifier& notifier;
  LoginRunner& loginRunner;
  Clock& clock;
  TraceLog& trace;
  EngineFactory engineFactory;
};

// The running program: owns the account types, the check cycle and the hidden main window,
// starts up and shuts down in a fixed order, and dispatches the main window's messages,
// timers and menu commands.
class Application : public QObject, public MainWindowHandler, public RunningApplication {
  Q_OBJECT

 public:
  Application(ApplicationParts parts, std::vector<std::string> arguments);
  ~Application() override;

  // The start-up. Returns 0, or -1 when another instance runs (it was asked to open its
  // options) and this one is to end.
  int OnCreate();
  // Closes the program as the tray menu's Exit does: the shutdown runs, then the event loop
  // ends.
  void Close();

  intptr_t OnMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override;
  void OnTimer(uint32_t timerId) override;
  // A tray menu command; false for commands that are not ours.
  bool OnCommand(uint32_t command);

  AccountTypeList& accounts() override { return *accounts_; }
  CheckCycle& cycle() override { return *cycle_; }
  OptionFlags& flags() override { return flags_; }
  QtMainWindow& mainWindow() override { return mainWindow_; }
  const CommandLine& commandLine() const { return commandLine_; }
  bool destroyed() const { return destroyed_; }

  // SIGTERM and SIGINT close the program like Exit.
  void WatchTerminationSignals();
  // The machine woke from standby (logind's PrepareForSleep(false)).
  void WatchStandby();

 private slots:
  void OnPrepareForSleep(bool goingToSleep);

 private:
  void OnDestroy();
  void WaitForCheckThread();

  ApplicationParts parts_;
  std::vector<std::string> arguments_;
  CommandLine commandLine_;
  OptionFlags flags_;
  QtMainWindow mainWindow_;
  std::unique_ptr<AccountTypeList> accounts_;
  std::unique_ptr<CheckCycle> cycle_;
  std::unique_ptr<SingleInstance> instance_;
  std::unique_ptr<QSocketNotifier> signalNotifier_;
  bool created_ = false;
  bool destroyed_ = false;
};

}  // namespace tarvel
