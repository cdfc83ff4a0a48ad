#pragma once

#include <string>

namespace tarvel {
class RegistryStore;
class SettingsStore;
}  // namespace tarvel

namespace tarvel::ctl {

// The store the options before the command choose for every command.
struct StoreOptions {
  enum class Kind {
    Registry,  // the per-user registry store
    Portable,  // the settings file beside the program, as the program chooses it
    IniFile,   // the settings file given with --ini
  };
  Kind kind = Kind::Registry;
  std::string iniPath;
};

// Opens the chosen store. Prints the reason and returns false when it cannot be used.
bool OpenChosenStore(const StoreOptions& options, RegistryStore& registry, SettingsStore& store);

// The registry store of this user, or one with an empty path when no home folder is known.
std::string UserRegistryPath();

}  // namespace tarvel::ctl
