#include "ui/alerts/desktop_alerts.h"

#include <algorithm>
#include <cstdint>

#include "accounts/global_settings.h"
#include "ui/tray/tray_tooltip.h"

namespace tarvel {

QtDisplayClearTimer::QtDisplayClearTimer(QObject* parent) : QObject(parent) {
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, [this] {
    if (onExpiry_)
      onExpiry_();
  });
}

void QtDisplayClearTimer::Start(uint32_t milliseconds) {
  const int interval = static_cast<int>(std::min<uint32_t>(milliseconds, INT32_MAX));
  QMetaObject::invokeMethod(
      this, [this, interval] { timer_.start(interval); }, Qt::QueuedConnection);
}

void QtDisplayClearTimer::Stop() {
  QMetaObject::invokeMethod(
      this, [this] { timer_.stop(); }, Qt::QueuedConnection);
}

DesktopAlerts::DesktopAlerts(RegistryStore* registry, const SettingsStore* settings, Clock& clock,
                             const std::string& programFolder, QObject* parent)
    : QObject(parent),
      haptic_(hid_, clock),
      keyboardDisplay_({programFolder + kLogitechLcdLibrary, kLogitechLcdLibrary}, clearTimer_),
      alerts_(AlertParts{registry, settings, &busyProbes_, &player_, &haptic_, &keyboardDisplay_,
                         &launcherEntry_, IsPlainFile}) {
  clearTimer_.setOnExpiry([this] { alerts_.ShowOnKeyboardDisplay(Text()); });
}

void DesktopAlerts::UseGlobals(std::function<std::shared_ptr<const GlobalSettings>()> globals) {
  alerts_.ConfigureFrom([globals = std::move(globals)] {
    AlertSettings settings;
    const std::shared_ptr<const GlobalSettings> current = globals ? globals() : nullptr;
    if (!current)
      return settings;
    settings.newMailSound = current->newMailSound;
    settings.logitechHapticFeedback = static_cast<uint32_t>(current->logitechHapticFeedback);
    settings.toolTipSeconds = current->toolTipTime;
    settings.unreadMailCountRegistryLocation = current->unreadMailCountRegistryLocation;
    return settings;
  });
}

void AlertsNotifier::UpdateTray(uint32_t totalCount, const Text& allMailText, CheckStatus) {
  if (const AccountTypeList* accounts = accounts_())
    alerts_.OnTrayUpdated(*accounts, totalCount, TrayTooltipText(totalCount, allMailText));
}

void AlertsNotifier::PlayNewMailSound(uint32_t firstNewTypeBit) {
  alerts_.PlayNewMailSound(firstNewTypeBit);
}

void AlertsNotifier::GiveLogitechFeedback() {
  alerts_.SendHapticPulse();
}

}  // namespace tarvel
