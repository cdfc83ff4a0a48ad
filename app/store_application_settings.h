#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "accounts/global_settings.h"
#include "accounts/keyring_secrets.h"
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
  ~StoreApplicationSettings() override;

  void Open(bool portable) override;
  void LoadKeptSecrets(const WaitFor& waitFor) override;
  void LoadGlobals(OptionFlags& flags, CheckCycle& cycle, AccountTypeList& accounts,
                   bool darkTheme) override;
  void SaveFlags(uint64_t flags) override;
  InstanceRecord& instanceRecord() override { return *this; }

  SettingsStore& store() { return store_; }
  // The values in memory, read and edited (by the options dialog) on the main thread only.
  const GlobalSettings& globals() const { return globals_; }
  GlobalSettings& mutableGlobals() { return globals_; }

  // What other threads (the check thread's alerts and mail list) read: a copy of the values in
  // memory that never changes. Publish replaces it whole with a fresh copy; a reader keeps
  // the copy it took for as long as it uses it. Any thread may call published().
  std::shared_ptr<const GlobalSettings> published() const;
  // Main thread: after the values in memory changed (loaded, or the options dialog ended).
  void Publish();

 private:
  std::string Read() override;
  void Write(const std::string& socketName) override;

  RegistryStore registry_;
  SettingsStore store_;
  GlobalSettings globals_;
  mutable std::mutex publishedLock_;
  std::shared_ptr<const GlobalSettings> published_;
  std::string programFolder_;
  // The desktop's keyring and the values of it in memory, once the settings keep any there.
  std::unique_ptr<Keyring> keyring_;
  std::unique_ptr<CachedSecretSource> secrets_;
};

}  // namespace tarvel
