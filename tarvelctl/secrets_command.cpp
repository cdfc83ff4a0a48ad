#include "tarvelctl/secrets_command.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/keyring_secrets.h"
#include "accounts/registry_store.h"
#include "accounts/settings_store.h"
#include "platform/keyring.h"

namespace tarvel::ctl {

namespace {

constexpr int kExitDone = 0;
constexpr int kExitNotMoved = 1;
constexpr int kExitUsage = 2;

int Usage(const char* problem) {
  std::fprintf(stderr, "tarvelctl secrets: %s\n", problem);
  std::fputs(
      "Usage: tarvelctl [-p | --ini PATH] secrets status\n"
      "       tarvelctl [-p | --ini PATH] secrets migrate [--to-file]\n",
      stderr);
  return kExitUsage;
}

std::string KeyringState(Keyring& keyring) {
  const KeyringReply probe = keyring.Probe();
  if (probe.status == KeyringStatus::Ok)
    return "available";
  std::string state(KeyringStatusText(probe.status));
  if (!probe.message.empty())
    state += " (" + probe.message + ")";
  return state;
}

int Status(const SettingsStore& store, Keyring& keyring) {
  std::printf("keyring: %s\n", KeyringState(keyring).c_str());
  std::printf("new values: %s\n",
              store.readNumber(kSecretsInKeyring, 0) == 1 ? "keyring" : "settings");
  for (const SecretPlace& place : ListSecretPlaces(store))
    std::printf("%s: %s\n", place.name.ToUtf8().c_str(), place.inKeyring ? "keyring" : "settings");
  return kExitDone;
}

int Migrate(SettingsStore& store, Keyring& keyring, bool toSettings) {
  const KeyringReply probe = keyring.Probe();
  if (probe.status != KeyringStatus::Ok) {
    std::fprintf(stderr, "tarvelctl: %s%s%s; nothing was moved\n",
                 std::string(KeyringStatusText(probe.status)).c_str(),
                 probe.message.empty() ? "" : ": ", probe.message.c_str());
    return kExitNotMoved;
  }
  const std::vector<SecretMove> moves =
      toSettings ? MoveSecretsToSettings(store, keyring) : MoveSecretsToKeyring(store, keyring);
  const char* there = toSettings ? "the settings" : "the keyring";
  const char* here = toSettings ? "the keyring" : "the settings";
  int exitCode = kExitDone;
  for (const SecretMove& move : moves) {
    const std::string name = move.name.ToUtf8();
    switch (move.result) {
      case SecretMove::Result::Moved:
        std::printf("%s: moved to %s\n", name.c_str(), there);
        if (!move.reason.empty())
          std::fprintf(stderr, "tarvelctl: %s: %s\n", name.c_str(), move.reason.c_str());
        break;
      case SecretMove::Result::AlreadyThere:
        std::printf("%s: already in %s\n", name.c_str(), there);
        break;
      case SecretMove::Result::Failed:
        std::printf("%s: not moved, still in %s\n", name.c_str(), here);
        std::fprintf(stderr, "tarvelctl: %s not moved: %s\n", name.c_str(), move.reason.c_str());
        exitCode = kExitNotMoved;
        break;
      case SecretMove::Result::Unreadable:
        std::printf("%s: not moved, still in %s\n", name.c_str(), here);
        std::fprintf(stderr, "tarvelctl: %s not moved: %s\n", name.c_str(), move.reason.c_str());
        break;
    }
  }
  if (moves.empty())
    std::puts("no protected account values stored");
  return exitCode;
}

}  // namespace

int RunSecretsCommand(const StoreOptions& options, int argc, char* argv[]) {
  if (argc < 1)
    return Usage("missing a subcommand");
  const std::string_view subcommand = argv[0];
  bool toSettings = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (subcommand == "migrate" && word == "--to-file" && !toSettings)
      toSettings = true;
    else
      return Usage("unexpected argument");
  }
  if (subcommand != "status" && subcommand != "migrate")
    return Usage("unknown subcommand");
  RegistryStore registry(UserRegistryPath());
  SettingsStore store;
  if (!OpenChosenStore(options, registry, store))
    return kExitUsage;
  // The moves talk to the keyring themselves; the store reads and writes the settings only.
  store.setSecretSource(nullptr);
  const std::unique_ptr<Keyring> keyring = OpenSessionKeyring();
  if (subcommand == "status")
    return Status(store, *keyring);
  return Migrate(store, *keyring, toSettings);
}

}  // namespace tarvel::ctl
