#include "tarvelctl/signin_command.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/account_type.h"
#include "accounts/option_flags.h"
#include "accounts/registry_store.h"
#include "accounts/settings_store.h"
#include "engines/protocol/imap_engine.h"
#include "engines/protocol/oauth_authorizer.h"
#include "maintenance/diagnostic_trace.h"
#include "platform/clock.h"
#include "platform/http_session.h"

extern char** environ;

namespace tarvel::ctl {
namespace {

constexpr int kSignInTimeoutMs = 5 * 60 * 1000;

const AccountTypeInfo* ImapTypeOfSlot(uint32_t slot) {
  uint32_t seen = 0;
  for (const AccountTypeInfo& type : kAccountTypes) {
    if (type.engine == EngineKind::Imap && seen++ == slot)
      return &type;
  }
  return nullptr;
}

// The sign-in's trace lines go to standard error.
class ErrorTrace : public DiagnosticTrace {
 public:
  void Record(std::string_view entry) override {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(entry.size()), entry.data());
  }
};

int Usage() {
  std::fputs("Usage: tarvelctl [-p | --ini PATH] signin SLOT [--browser COMMAND]\n", stderr);
  return 2;
}

}  // namespace

int RunSigninCommand(const StoreOptions& options, int argc, char* argv[]) {
  if (argc < 1)
    return Usage();
  const std::string_view slotText = argv[0];
  if (slotText != "1" && slotText != "2" && slotText != "3")
    return Usage();
  const uint32_t slot = static_cast<uint32_t>(slotText[0] - '1');
  std::string browser = "xdg-open";
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--browser" && i + 1 < argc && argv[i + 1][0] != '\0')
      browser = argv[++i];
    else
      return Usage();
  }

  RegistryStore registry(UserRegistryPath());
  SettingsStore store;
  if (!OpenChosenStore(options, registry, store))
    return 1;
  SystemClock clock;
  OptionFlags flags;
  ErrorTrace trace;
  HttpSession http;
  OAuthAuthorizer authorizer(http, clock, &store, &trace);
  const AccountTypeInfo* type = ImapTypeOfSlot(slot);
  if (!type)
    return 1;
  ImapEngine engine(
      *type, slot,
      ImapEngineServices{clock, flags, &store, nullptr, &authorizer, std::string(), &trace});
  engine.LoadSettings(store);

  // The browser runs beside us (it comes back to our listener) and is reaped at the end.
  std::vector<pid_t> browsers;
  const auto open = [&](const std::string& address) {
    std::fprintf(stdout, "Sign in at: %s\n", address.c_str());
    std::fflush(stdout);
    std::vector<std::string> arguments = {browser, address};
    std::vector<char*> list;
    for (std::string& argument : arguments)
      list.push_back(argument.data());
    list.push_back(nullptr);
    pid_t child = -1;
    if (posix_spawnp(&child, list[0], nullptr, nullptr, list.data(), environ) != 0)
      return true;  // the address is printed: the user can open it by hand
    browsers.push_back(child);
    return true;
  };
  const auto started = [](const AuthorizationStart& start) {
    if (!start.userCode.isEmpty()) {
      std::fprintf(stdout, "Code: %s\n%s\n", start.userCode.ToUtf8().c_str(),
                   start.message.ToUtf8().c_str());
      std::fflush(stdout);
    }
  };
  const TokenStatus status = SignInWithBrowser(authorizer, engine, open, started, kSignInTimeoutMs);
  for (pid_t child : browsers)
    ::waitpid(child, nullptr, 0);
  std::fprintf(stdout, "%s\n", status == TokenStatus::Ready ? "Signed in." : "Not signed in.");
  return static_cast<int>(status);
}

}  // namespace tarvel::ctl
