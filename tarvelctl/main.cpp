#include <cstdio>
#include <string_view>

#include "platform/version.h"
#include "tarvelctl/bus_commands.h"
#include "tarvelctl/check_command.h"
#include "tarvelctl/secrets_command.h"
#include "tarvelctl/settings_commands.h"
#include "tarvelctl/signin_command.h"
#include "tarvelctl/store_options.h"
#include "tarvelctl/util_commands.h"

namespace {

constexpr const char* kUsage =
    "Usage: tarvelctl [-p | --ini PATH] COMMAND [ARGUMENTS]\n"
    "\n"
    "The command-line companion of Tarvel E-Mail Notifier.\n"
    "\n"
    "Commands:\n"
    "  settings list [--group G]\n"
    "                 list the stored values; secrets show as (protected)\n"
    "  settings get NAME [--group G] [--protected]\n"
    "                 print a value as stored, or a protected value in plain text\n"
    "  settings set NAME VALUE [--group G] [--number | --text | --protected]\n"
    "                 store a value; without a kind, the names of secrets are stored\n"
    "                 protected, numbers (decimal, negative, 0x hexadecimal) as numbers\n"
    "                 and anything else as text; VALUE - reads one line from standard\n"
    "                 input (not echoed on a terminal), so a secret stays out of the\n"
    "                 process list and the shell history\n"
    "  settings delete NAME [--group G]\n"
    "  settings delete-group G\n"
    "  check [--json] [--timeout SECONDS]\n"
    "                 run one check of every enabled account type and print it; the exit\n"
    "                 code is the check's status (0 done, 1 failed, 2 sign-in needed,\n"
    "                 3 outside the check hours). While the notifier runs (and neither -p\n"
    "                 nor --ini is given) the notifier checks and tarvelctl waits for it,\n"
    "                 up to SECONDS (300)\n"
    "  unread [--json]\n"
    "                 list the running notifier's unread mail\n"
    "  silence MINUTES\n"
    "                 no notices from the running notifier for 1 to 10080 minutes;\n"
    "                 0 turns them on again\n"
    "  signin SLOT [--browser COMMAND]\n"
    "                 OAuth2 sign-in of IMAP account 1, 2 or 3 in the desktop's browser\n"
    "                 (or COMMAND); the device flow prints its code\n"
    "  secrets status show where each protected account value is kept: the keyring or\n"
    "                 the settings\n"
    "  secrets migrate [--to-file]\n"
    "                 move the protected account values into the desktop's keyring (a\n"
    "                 Secret Service such as GNOME Keyring), the settings keeping only a\n"
    "                 marker; --to-file moves them back into the settings. Each value is\n"
    "                 written to its new place and read back before the old copy goes\n"
    "  util ...       diagnostics over the text, JSON and XML readers\n"
    "\n"
    "Options:\n"
    "  -p             use the portable settings file beside the program\n"
    "  --ini PATH     use this settings file\n"
    "                 (without either: the per-user store under $XDG_CONFIG_HOME/Quorline)\n"
    "  -h, --help     show this help and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "Protected values in the settings are obscured, not encrypted: anyone with this program\n"
    "can read them. In the keyring they are as safe as the keyring.\n";

}  // namespace

int main(int argc, char* argv[]) {
  tarvel::ctl::StoreOptions storeOptions;
  bool storeChosen = false;
  int next = 1;
  for (; next < argc; ++next) {
    const std::string_view option = argv[next];
    if (option == "-p" || option == "--ini") {
      if (storeChosen) {
        std::fputs("tarvelctl: choose one store: -p or --ini PATH, once\n", stderr);
        return 2;
      }
      storeChosen = true;
      if (option == "-p") {
        storeOptions.kind = tarvel::ctl::StoreOptions::Kind::Portable;
        continue;
      }
      if (next + 1 >= argc || argv[next + 1][0] == '\0') {
        std::fputs("tarvelctl: --ini needs a file path\n", stderr);
        return 2;
      }
      storeOptions.kind = tarvel::ctl::StoreOptions::Kind::IniFile;
      storeOptions.iniPath = argv[++next];
      continue;
    }
    break;
  }
  if (next >= argc) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string_view command = argv[next];
  if (command == "-h" || command == "--help" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "--version" || command == "version") {
    std::printf("tarvelctl %.*s\n", static_cast<int>(tarvel::kVersion.size()),
                tarvel::kVersion.data());
    return 0;
  }
  const int rest = argc - next - 1;
  char** restArguments = argv + next + 1;
  if (command == "settings")
    return tarvel::ctl::RunSettingsCommand(storeOptions, rest, restArguments);
  if (command == "check")
    return tarvel::ctl::RunCheckCommand(storeOptions, rest, restArguments);
  if (command == "unread")
    return tarvel::ctl::RunUnreadCommand(rest, restArguments);
  if (command == "silence")
    return tarvel::ctl::RunSilenceCommand(rest, restArguments);
  if (command == "signin")
    return tarvel::ctl::RunSigninCommand(storeOptions, rest, restArguments);
  if (command == "secrets")
    return tarvel::ctl::RunSecretsCommand(storeOptions, rest, restArguments);
  if (command == "util")
    return tarvel::ctl::RunUtilCommand(argc - next - 1, argv + next + 1);
  std::fprintf(stderr, "tarvelctl: unknown command '%s'\n", argv[next]);
  std::fputs(kUsage, stderr);
  return 2;
}
