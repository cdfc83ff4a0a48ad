#include "tarvelctl/store_options.h"

#include <cstdio>

#include <memory>

#include "accounts/keyring_secrets.h"
#include "accounts/registry_store.h"
#include "accounts/settings_store.h"
#include "platform/keyring.h"
#include "platform/program_path.h"

namespace tarvel::ctl {

std::string UserRegistryPath() {
  return RegistryStore::DefaultPath();
}

bool OpenChosenStore(const StoreOptions& options, RegistryStore& registry, SettingsStore& store) {
  bool opened = false;
  switch (options.kind) {
    case StoreOptions::Kind::Registry:
      if (registry.path().empty()) {
        std::fputs("tarvelctl: no settings folder: set HOME or XDG_CONFIG_HOME\n", stderr);
        return false;
      }
      opened = store.open(SettingsMode::Registry, &registry, kSettingsKeyPath);
      break;
    case StoreOptions::Kind::Portable: {
      const std::string folder = ProgramFolder();
      if (folder.empty()) {
        std::fputs("tarvelctl: cannot find the program's folder for portable mode\n", stderr);
        return false;
      }
      // The desktop program lives beside this one and keeps its file under its own name.
      opened =
          store.open(SettingsMode::IniFile, nullptr, {}, PortableSettingsPath(folder + "tarvel"));
      break;
    }
    case StoreOptions::Kind::IniFile:
      opened = store.open(SettingsMode::IniFile, nullptr, {}, options.iniPath);
      break;
  }
  if (!opened || !store.isUsable()) {
    std::fprintf(stderr, "tarvelctl: cannot read the settings store %s\n",
                 store.location().c_str());
    return false;
  }
  // Values moved to the desktop's keyring are read from it (and written to it) as they are
  // used; the keyring is asked only for them.
  static const std::unique_ptr<Keyring> keyring = OpenSessionKeyring();
  static std::unique_ptr<KeyringSecretSource> secrets;
  secrets = std::make_unique<KeyringSecretSource>(*keyring, store.location());
  store.setSecretSource(secrets.get());
  return true;
}

}  // namespace tarvel::ctl
