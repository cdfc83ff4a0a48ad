#pragma once

#include <memory>
#include <string>

#include "accounts/global_settings.h"
#include "accounts/registry_store.h"
#include "accounts/settings_store.h"
#include "app/application_settings.h"

namespace tarvel {

// The application's settings over the settings store: the per-user registry store, or the
// portable file beside the program. The `hwnd` value always lives in the registry store.
class StoreApplicationSettings : public ApplicationSettings, private InstanceRecord {
 public:
  // `registryPath` is the per-user registry store's file; `programFolder` ends with "/".
  StoreApplicationSettings(std::string registryPath, std::string programFolder);

  void Open(bool portable) override;
  void LoadGlobals(OptionFlags& flags, CheckCycle& cycle, AccountTypeList& accounts,
                   bool darkTheme) override;
  void SaveFlags(uint64_t flags) override;
  InstanceRecord& instanceRecord() override { return *this; }

  SettingsStore& store() { return store_; }
  const GlobalSettings& globals() const { return globals_; }
  // The options dialog edits the values in memory on the main thread.
  GlobalSettings& mutableGlobals() { return globals_; }

 private:
  std::string Read() override;
  void Write(const std::string& socketName) override;

  RegistryStore registry_;
  SettingsStore store_;
  GlobalSettings globals_;
  std::string programFolder_;
};

}  // namespace tarvel
