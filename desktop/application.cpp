#include "desktop/application.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QGuiApplication>
#include <QPalette>

#include <chrono>

#include "app/application_settings.h"
#include "app/desktop_services.h"
#include "app/exception_check.h"
#include "app/login_runner.h"
#include "app/menu_commands.h"
#include "app/window_messages.h"
#include "maintenance/trace_log.h"
#include "platform/clock.h"
#include "resources/string_table.h"

namespace tarvel {

namespace {

constexpr uint32_t kCheckWaitSliceMs = 20;
// How long the exit waits for a running check once a thread has been parked.
constexpr uint32_t kParkedThreadWaitMs = 1000;

// The write end of the pipe the termination signals are reported through.
int terminationPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(terminationPipe[1], &byte, 1);
}

bool DarkThemeInUse() {
  if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
    return false;
  const QPalette palette = QGuiApplication::palette();
  return palette.color(QPalette::Window).lightness() <
         palette.color(QPalette::WindowText).lightness();
}

}  // namespace

Application::Application(ApplicationParts parts, std::vector<std::string> arguments)
    : parts_(std::move(parts)), arguments_(std::move(arguments)) {
  mainWindow_.setHandler(this);
}

Application::~Application() {
  if (created_ && !destroyed_)
    OnDestroy();
  if (accounts_)
    accounts_->checkThread().waitFinished(0);
}

int Application::OnCreate() {
  // The cycle's initial state (no masks, no retries, notifications on) is its construction.
  parts_.services.PrepareProblemReports();
  accounts_ = std::make_unique<AccountTypeList>(flags_, parts_.engineFactory);
  cycle_ = std::make_unique<CheckCycle>(*accounts_, mainWindow_, parts_.notifier,
                                        parts_.loginRunner, parts_.clock, parts_.trace);
  InstallExceptionCheck(parts_.trace, accounts_->checkThread());

  commandLine_ = ParseCommandLine(arguments_);
  const std::string instanceName =
      Text(kProgramTitle).ToUtf8() + (commandLine_.portable ? "__MUTEX__Portable" : "__MUTEX__");
  parts_.settings.Open(commandLine_.portable);

  instance_ = std::make_unique<SingleInstance>(QString::fromStdString(instanceName),
                                               parts_.settings.instanceRecord());
  if (!instance_->Acquire()) {
    parts_.trace.Record(instance_->NotifyRunningInstance() ? "SecondInstanceNotified"
                                                           : "SecondInstanceQuiet");
    return -1;
  }
  instance_->Listen([this] { mainWindow_.PostMessage(kMsgOpenOptions, 0, 0); });

  // Values kept in the desktop's keyring are read before the settings; the keyring may ask
  // the user to unlock it, and the events go on meanwhile.
  parts_.settings.LoadKeptSecrets([](const std::function<bool(uint32_t)>& finished) {
    while (!finished(kCheckWaitSliceMs))
      QCoreApplication::processEvents(QEventLoop::AllEvents, kCheckWaitSliceMs);
  });

  parts_.settings.LoadGlobals(flags_, *cycle_, *accounts_, DarkThemeInUse());
  cycle_->setFirstDayOfWeek(LocaleFirstDayOfWeek());
  cycle_->ApplyStoredSilence();
  parts_.services.AddTrayIcon();
  parts_.services.RestoreCookies(*accounts_);
  if (!flags_.any(flag_bits::kNoUpdateCheck)) {
    parts_.services.StartUpdateCheck(commandLine_.portable);
  }
  if (!accounts_->anyEnabled())
    parts_.services.OpenOptions();
  cycle_->CheckIn(CheckTrigger::Timed);
  mainWindow_.SetTimer(kTimerSilence, kSilenceTickMs);
  if (flags_.any(flag_bits::kShowMailListWindow))
    parts_.services.OpenMailList();
  created_ = true;
  return 0;
}

void Application::Close() {
  if (!created_ || destroyed_)
    return;
  OnDestroy();
  QCoreApplication::exit(0);
}

void Application::OnDestroy() {
  destroyed_ = true;
  instance_->ClearRecord();
  parts_.services.CloseMailList();
  parts_.settings.SaveFlags(flags_.load() & ~flag_bits::kRunTimeBits);
  parts_.services.RemoveTrayIcon();
  mainWindow_.KillTimer(kTimerCheck);
  mainWindow_.KillTimer(kTimerSilence);
  mainWindow_.KillTimer(kTimerTrayAlternation);
  parts_.services.CloseOptions();
  parts_.services.ClosePopup();
  WaitForCheckThread();
  parts_.trace.Record("Exit");
}

void Application::WaitForCheckThread() {
  // A running check is asked to stop: a request waiting for the network ends within about a
  // second, and the check's later requests fail at once, so the check ends soon whatever the
  // servers do. The wait keeps the event loop going, so a check that asks the main thread for
  // something cannot deadlock with us.
  WorkerThread& thread = accounts_->checkThread();
  thread.requestStop();
  const auto started = std::chrono::steady_clock::now();
  while (!thread.waitFinished(kCheckWaitSliceMs)) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, kCheckWaitSliceMs);
    // A check that waits for a parked thread never ends; the process ends without it
    // (EndIfAThreadIsParked after the event loop).
    if (AThreadIsParked() && std::chrono::steady_clock::now() - started >=
                                 std::chrono::milliseconds(kParkedThreadWaitMs))
      break;
  }
}

intptr_t Application::OnMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (destroyed_)
    return 0;
  if (cycle_->HandleMessage(message, wParam, lParam))
    return 0;
  switch (message) {
    case kMsgTrayCallback:
      parts_.services.OnTrayCallback(wParam, lParam);
      return 0;
    case kMsgClose:
      Close();
      return 0;
    case kMsgShowPopup:
      parts_.services.ShowNewMailPopup();
      return 0;
    case kMsgNotesRequest:
      return parts_.services.OnNotesRequest(wParam, lParam);
    case kMsgOpenOptions:
      parts_.services.OpenOptions();
      return 0;
    case kMsgCommand:
      OnCommand(static_cast<uint32_t>(wParam));
      return 0;
    default:
      return 0;
  }
}

void Application::OnTimer(uint32_t timerId) {
  if (destroyed_)
    return;
  if (timerId == kTimerTrayAlternation) {
    parts_.services.AlternateTrayIcon();
    return;
  }
  if (timerId == kTimerCheck)
    parts_.loginRunner.OnCheckTimer();
  cycle_->HandleTimer(timerId);
}

bool Application::OnCommand(uint32_t command) {
  if (const std::optional<uint32_t> typeBit = ReaderTypeForCommand(command)) {
    parts_.services.OpenReaders(*typeBit);
    return true;
  }
  if (const std::optional<int32_t> minutes = SilenceMinutesForCommand(command)) {
    cycle_->SilenceFor(*minutes);
    return true;
  }
  switch (command) {
    case kCmdOptions:
      parts_.services.OpenOptions();
      return true;
    case kCmdExit:
      Close();
      return true;
    case kCmdCheckNow:
      cycle_->CheckIn(CheckTrigger::Manual);
      return true;
    case kCmdSilenceUntilRestart:
      cycle_->SilenceUntilRestart();
      return true;
    case kCmdNotificationsOn:
      cycle_->NotificationsOn();
      return true;
    case kCmdSilenceForEver:
      cycle_->SilenceForEver();
      return true;
    default:
      return false;
  }
}

void Application::WatchTerminationSignals() {
  if (terminationPipe[0] >= 0)
    return;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, terminationPipe) != 0)
    return;
  signalNotifier_ = std::make_unique<QSocketNotifier>(terminationPipe[0], QSocketNotifier::Read);
  connect(signalNotifier_.get(), &QSocketNotifier::activated, this, [this] {
    char byte = 0;
    [[maybe_unused]] const ssize_t read = ::read(terminationPipe[0], &byte, 1);
    parts_.trace.Record("TerminationSignal");
    Close();
  });
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

void Application::WatchStandby() {
  QDBusConnection system = QDBusConnection::systemBus();
  if (!system.isConnected())
    return;
  system.connect("org.freedesktop.login1", "/org/freedesktop/login1",
                 "org.freedesktop.login1.Manager", "PrepareForSleep", this,
                 SLOT(OnPrepareForSleep(bool)));
}

void Application::OnPrepareForSleep(bool goingToSleep) {
  if (!goingToSleep && cycle_)
    cycle_->OnResume();
}

}  // namespace tarvel
