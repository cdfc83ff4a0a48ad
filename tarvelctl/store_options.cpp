#include "tarvelctl/store_options.h"

#include <unistd.h>

#include <cstdio>

#include "accounts/registry_store.h"
#include "accounts/settings_store.h"

namespace tarvel::ctl {

std::string ProgramFolder() {
  char buffer[4096];
  const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0)
    return {};
  const std::string path(buffer, static_cast<std::size_t>(length));
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

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
  return true;
}

}  // namespace tarvel::ctl
