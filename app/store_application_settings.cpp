#include "app/store_application_settings.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <thread>

#include "accounts/account_type_list.h"
#include "app/check_cycle.h"

namespace tarvel {

namespace {

constexpr char kInstanceValue[] = "hwnd";

}  // namespace

StoreApplicationSettings::StoreApplicationSettings(std::string registryPath,
                                                   std::string programFolder)
    : registry_(std::move(registryPath)), programFolder_(std::move(programFolder)) {}

StoreApplicationSettings::~StoreApplicationSettings() {
  store_.setSecretSource(nullptr);
}

void StoreApplicationSettings::LoadKeptSecrets(const WaitFor& waitFor) {
  const std::vector<SecretPlace> places = ListSecretPlaces(store_);
  const bool anyKept = std::any_of(places.begin(), places.end(),
                                   [](const SecretPlace& place) { return place.inKeyring; });
  if (!anyKept && store_.readNumber(kSecretsInKeyring, 0) != 1)
    return;
  keyring_ = OpenSessionKeyring();
  secrets_ = std::make_unique<CachedSecretSource>(*keyring_, store_);
  std::mutex mutex;
  std::condition_variable ended;
  bool loaded = false;
  std::thread loader([&] {
    secrets_->Load();
    const std::lock_guard<std::mutex> lock(mutex);
    loaded = true;
    ended.notify_all();
  });
  waitFor([&](uint32_t sliceMs) {
    std::unique_lock<std::mutex> lock(mutex);
    return ended.wait_for(lock, std::chrono::milliseconds(sliceMs), [&] { return loaded; });
  });
  loader.join();
  store_.setSecretSource(secrets_.get());
}

void StoreApplicationSettings::Open(bool portable) {
  if (portable) {
    store_.open(SettingsMode::IniFile, nullptr, {},
                PortableSettingsPath(programFolder_ + "tarvel"));
  } else {
    store_.open(SettingsMode::Registry, &registry_, kSettingsKeyPath);
  }
}

void StoreApplicationSettings::LoadGlobals(OptionFlags& flags, CheckCycle& cycle,
                                           AccountTypeList& accounts, bool darkTheme) {
  globals_.Load(store_, darkTheme ? DesktopTheme::Dark : DesktopTheme::Light, programFolder_);
  globals_.ApplyTo(flags);
  ApplyCheckSettings(globals_, cycle);
  globals_.ApplyTo(accounts);
  accounts.LoadSettings(store_);
  globals_.ApplyToNetwork();
  Publish();
}

std::shared_ptr<const GlobalSettings> StoreApplicationSettings::published() const {
  const std::lock_guard<std::mutex> guard(publishedLock_);
  return published_ ? published_ : std::make_shared<const GlobalSettings>();
}

void StoreApplicationSettings::Publish() {
  // The copy is made outside the lock; the swap inside it is one step.
  auto fresh = std::make_shared<const GlobalSettings>(globals_);
  const std::lock_guard<std::mutex> guard(publishedLock_);
  published_.swap(fresh);
}

void StoreApplicationSettings::SaveFlags(uint64_t flags) {
  store_.writeNumber(u"Flags", flags);
}

std::string StoreApplicationSettings::Read() {
  const std::optional<RegistryValue> value =
      registry_.ReadValue(Text(kSettingsKeyPath).ToUtf8(), kInstanceValue);
  return value && value->type == RegistryValueType::String ? value->data : std::string();
}

void StoreApplicationSettings::Write(const std::string& socketName) {
  registry_.WriteValue(Text(kSettingsKeyPath).ToUtf8(), kInstanceValue,
                       RegistryValue::String(socketName));
}

}  // namespace tarvel
