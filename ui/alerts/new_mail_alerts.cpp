#include "ui/alerts/new_mail_alerts.h"

#include "accounts/registry_store.h"
#include "accounts/settings_store.h"
#include "ui/alerts/keyboard_display.h"
#include "ui/alerts/user_busy.h"

namespace tarvel {

void NewMailAlerts::Configure(const AlertSettings& settings) {
  const std::lock_guard lock(mutex_);
  settings_ = settings;
}

void NewMailAlerts::ConfigureFrom(std::function<AlertSettings()> source) {
  const std::lock_guard lock(mutex_);
  source_ = std::move(source);
}

AlertSettings NewMailAlerts::settings() const {
  const std::lock_guard lock(mutex_);
  return source_ ? source_() : settings_;
}

bool NewMailAlerts::IsUserBusy() {
  if (!parts_.busyProbes)
    return false;
  return tarvel::IsUserBusy(parts_.registry, *parts_.busyProbes);
}

void NewMailAlerts::PlayNewMailSound(uint32_t firstNewTypeBit) {
  if (!parts_.player)
    return;
  const bool allowedWhenBusy =
      parts_.settings && parts_.settings->readNumber(kAllowSoundInFullscreen, 0) != 0;
  if (!allowedWhenBusy && IsUserBusy())
    return;
  const Text file =
      ChooseNewMailSound(settings().newMailSound, firstNewTypeBit, parts_.isPlainFile);
  if (!file.isEmpty())
    parts_.player->Play(file);
}

void NewMailAlerts::StopNewMailSound() {
  if (parts_.player)
    parts_.player->Stop();
}

void NewMailAlerts::SendHapticPulse() {
  const uint32_t feedback = settings().logitechHapticFeedback;
  if (parts_.haptic && feedback != kNoHapticFeedback)
    parts_.haptic->SendInBackground(feedback);
}

void NewMailAlerts::ShowOnKeyboardDisplay(const Text& text) {
  if (parts_.keyboardDisplay)
    parts_.keyboardDisplay->Show(text, settings().toolTipSeconds);
}

void NewMailAlerts::WriteUnreadMailCount(const std::vector<AccountUnreadCount>& accounts,
                                         uint32_t total) {
  if (parts_.registry) {
    tarvel::WriteUnreadMailCount(*parts_.registry, accounts, total,
                                 settings().unreadMailCountRegistryLocation, LocalFileTimeNow());
  }
  if (parts_.unreadCountPublisher)
    parts_.unreadCountPublisher->PublishUnreadCount(total);
}

void NewMailAlerts::OnTrayUpdated(const AccountTypeList& accounts, uint32_t totalCount,
                                  const Text& tooltip) {
  if (totalCount != 0)
    ShowOnKeyboardDisplay(tooltip);
  WriteUnreadMailCount(AccountsWithAddresses(accounts), totalCount);
}

}  // namespace tarvel
