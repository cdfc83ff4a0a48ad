#include "tarvelctl/check_command.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "accounts/account_type_list.h"
#include "accounts/global_settings.h"
#include "accounts/option_flags.h"
#include "accounts/registry_store.h"
#include "accounts/settings_store.h"
#include "app/check_cycle.h"
#include "app/check_notifier.h"
#include "app/engine_registry.h"
#include "app/login_runner.h"
#include "app/manual_main_window.h"
#include "app/window_messages.h"
#include "engines/protocol/oauth_authorizer.h"
#include "mail/mail_item.h"
#include "maintenance/diagnostic_trace.h"
#include "platform/clock.h"
#include "platform/http_session.h"
#include "platform/program_path.h"
#include "tarvelctl/bus_commands.h"
#include "tarvelctl/json_output.h"
#include "tarvelctl/notifier_bus.h"
#include "tarvelctl/terminal_text.h"
#include "ui/tray/tray_tooltip.h"

namespace tarvel::ctl {

namespace {

// How long a check of the running program is waited for, unless --timeout says otherwise.
constexpr uint32_t kDefaultCheckTimeoutSeconds = 300;
constexpr uint32_t kMaxCheckTimeoutSeconds = 86'400;

// No login window here: types that need a sign-in are reported with status 2.
class NoLoginWindow : public LoginRunner {
 public:
  bool IsOpen() const override { return false; }
  void BringToFront() override {}
  bool Run(uint32_t) override { return false; }
};

// Takes the finished message and nothing else: one check, no retries, no next timer.
class FinishedMessageHandler : public MainWindowHandler {
 public:
  intptr_t OnMessage(uint32_t message, uintptr_t wParam, intptr_t) override {
    if (message == kMsgCheckFinished) {
      finished = true;
      status = static_cast<uint32_t>(wParam);
    }
    return 0;
  }
  void OnTimer(uint32_t) override {}

  bool finished = false;
  uint32_t status = 0;
};

void PrintJson(const AccountTypeList& accounts, uint32_t status, const CheckTotals& totals,
               const Text& tooltip) {
  std::string out = "{\"status\":" + std::to_string(status) +
                    ",\"total\":" + std::to_string(totals.totalCount) +
                    ",\"new\":" + std::to_string(totals.newCount) + ",\"accounts\":[";
  bool firstAccount = true;
  for (const MailEngine* engine = accounts.first(); engine;
       engine = AccountTypeList::next(engine)) {
    if (!accounts.isEnabled(*engine))
      continue;
    if (!firstAccount)
      out += ',';
    firstAccount = false;
    out += "{\"name\":" + JsonString(engine->name) +
           ",\"display\":" + JsonString(engine->GetDisplayName()) +
           ",\"typeBit\":" + std::to_string(engine->typeBit) +
           ",\"status\":" + std::to_string(static_cast<uint32_t>(engine->lastStatus)) +
           ",\"reason\":" + JsonString(engine->lastFailure) +
           ",\"unread\":" + std::to_string(engine->mails.count()) +
           ",\"new\":" + std::to_string(engine->lastNewCount) + ",\"mails\":[";
    bool firstMail = true;
    for (const MailItem* item = engine->mails.first(); item;
         item = NodeList<MailItem>::next(item)) {
      if (!firstMail)
        out += ',';
      firstMail = false;
      out +=
          "{\"sender\":" + JsonString(item->sender) + ",\"subject\":" + JsonString(item->subject) +
          ",\"folder\":" + JsonString(item->folder) + ",\"date\":" + JsonString(item->date) + "}";
    }
    out += "]}";
  }
  out += "],\"tooltip\":" + JsonString(tooltip) +
         ",\"newMailText\":" + JsonString(totals.newMailText) +
         ",\"allMailText\":" + JsonString(totals.allMailText) + "}\n";
  std::fputs(out.c_str(), stdout);
}

void PrintText(const AccountTypeList& accounts, uint32_t status, const CheckTotals& totals,
               const Text& tooltip) {
  for (const MailEngine* engine = accounts.first(); engine;
       engine = AccountTypeList::next(engine)) {
    if (!accounts.isEnabled(*engine))
      continue;
    std::string line = TerminalText(engine->GetDisplayName()) + ": status " +
                       std::to_string(static_cast<uint32_t>(engine->lastStatus));
    if (!engine->lastFailure.isEmpty())
      line += " (" + TerminalText(engine->lastFailure) + ")";
    line += ", " + std::to_string(engine->mails.count()) + " unread, " +
            std::to_string(engine->lastNewCount) + " new";
    std::printf("%s\n", line.c_str());
    for (const MailItem* item = engine->mails.first(); item;
         item = NodeList<MailItem>::next(item)) {
      Text mailLine;
      FormatMailLine(*item, mailLine, MailText::NewMail, true);
      std::string text = "  " + TerminalText(mailLine);
      if (!item->date.isEmpty())
        text += "  (" + TerminalText(item->date) + ")";
      std::printf("%s\n", text.c_str());
    }
  }
  std::printf("Status: %u, %u unread, %u new\n", status, totals.totalCount, totals.newCount);
  // The tooltip's lines are separated by carriage returns of its own.
  std::printf("Tooltip:\n%s\n", TerminalText(tooltip, LineBreaks::Keep).c_str());
}

}  // namespace

int RunCheckCommand(const StoreOptions& options, int argc, char* argv[]) {
  constexpr const char* kCheckUsage =
      "Usage: tarvelctl [-p | --ini PATH] check [--json] [--timeout SECONDS]\n";
  bool json = false;
  uint32_t timeoutSeconds = kDefaultCheckTimeoutSeconds;
  for (int i = 0; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--json") {
      json = true;
    } else if (argument == "--timeout" && i + 1 < argc) {
      char* end = nullptr;
      const unsigned long seconds = std::strtoul(argv[++i], &end, 10);
      if (end == argv[i] || *end != '\0' || argv[i][0] == '-' || seconds == 0 ||
          seconds > kMaxCheckTimeoutSeconds) {
        std::fprintf(stderr, "tarvelctl check: --timeout takes 1 to %u seconds\n",
                     kMaxCheckTimeoutSeconds);
        return 2;
      }
      timeoutSeconds = static_cast<uint32_t>(seconds);
    } else {
      std::fprintf(stderr, "tarvelctl check: unknown argument '%s'\n",
                   TerminalText(Text::FromUtf8(argv[i])).c_str());
      std::fputs(kCheckUsage, stderr);
      return 2;
    }
  }

  // While the program runs it does the check: a second one beside it would sign in to every
  // account twice at once. A settings file named with -p or --ini may not be the program's,
  // so that check runs here.
  if (options.kind == StoreOptions::Kind::Registry) {
    bool failed = false;
    if (const std::unique_ptr<NotifierBus> bus = RunningNotifier(failed))
      return CheckThroughProgram(*bus, json, timeoutSeconds);
    if (failed)
      return 1;
  }

  RegistryStore registry(UserRegistryPath());
  SettingsStore store;
  if (!OpenChosenStore(options, registry, store))
    return 1;
  GlobalSettings settings;
  // No desktop here: the light theme's colours serve.
  settings.Load(store, DesktopTheme::Light, ProgramFolder());

  OptionFlags flags;
  settings.ApplyTo(flags);
  // One check and out: an IDLE that an IMAP account starts is ended, and its session closed,
  // when the engines go at the end of this function; nothing is checked again.
  SystemClock clock;
  HttpSession oauthHttp;
  OAuthAuthorizer oauth(oauthHttp, clock, &store, nullptr);
  EngineContext context;
  context.tokenRefresher = &oauth;
  context.settings = &store;
  context.flags = &flags;
  context.clock = &clock;
  AccountTypeList accounts(
      flags, [&context](const AccountTypeInfo& type) { return CreateEngine(type, context); });
  settings.ApplyTo(accounts);
  accounts.LoadSettings(store);
  settings.ApplyToNetwork();

  FinishedMessageHandler handler;
  ManualMainWindow mainWindow(&handler);
  SilentNotifier notifier;
  NoLoginWindow loginWindow;
  NullTrace trace;
  CheckCycle cycle(accounts, mainWindow, notifier, loginWindow, clock, trace);
  ApplyCheckSettings(settings, cycle);
  cycle.setFirstDayOfWeek(LocaleFirstDayOfWeek());

  cycle.CheckIn(CheckTrigger::Manual);
  while (!handler.finished) {
    const bool arrived = mainWindow.WaitForMessage(std::chrono::milliseconds(1000));
    mainWindow.DispatchPending();
    if (arrived || handler.finished)
      continue;
    // Once the thread and its completion are done, the result is queued if there is one.
    if (accounts.checkThread().waitFinished(1)) {
      mainWindow.DispatchPending();
      if (!handler.finished) {
        // The check thread ended without posting its result: it never started.
        std::fputs("tarvelctl: the check could not be started\n", stderr);
        return 1;
      }
    }
  }

  const CheckTotals& totals = cycle.lastTotals();
  const Text tooltip = TrayTooltipText(totals.totalCount, totals.allMailText);
  const uint32_t status = handler.status <= 3 ? handler.status : 1;
  if (json)
    PrintJson(accounts, status, totals, tooltip);
  else
    PrintText(accounts, status, totals, tooltip);
  std::fflush(stdout);
  return static_cast<int>(status);
}

}  // namespace tarvel::ctl
