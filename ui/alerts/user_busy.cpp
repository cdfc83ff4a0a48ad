#include "ui/alerts/user_busy.h"

#include "accounts/registry_store.h"

namespace tarvel {

bool IsUserBusy(RegistryStore* registry, UserBusyProbes& probes) {
  if (registry) {
    const std::optional<RegistryValue> value =
        registry->ReadValue(kNotificationSettingsKey, kToastsEnabledValue);
    const std::optional<uint64_t> enabled = value ? value->AsNumber() : std::nullopt;
    if (enabled && static_cast<uint32_t>(*enabled) == 0)
      return true;
  }
  if (probes.NotificationsSwitchedOff())
    return true;
  if (probes.ScreenSaverActive())
    return true;
  return probes.ActiveWindowFullScreen();
}

}  // namespace tarvel
