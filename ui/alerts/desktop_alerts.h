#pragma once

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>

#include "app/check_notifier.h"
#include "ui/alerts/desktop_busy_probes.h"
#include "ui/alerts/haptic_pulse.h"
#include "ui/alerts/hidapi_backend.h"
#include "ui/alerts/keyboard_display.h"
#include "ui/alerts/launcher_entry.h"
#include "ui/alerts/new_mail_alerts.h"
#include "ui/alerts/qt_sound_player.h"

namespace tarvel {

class AccountTypeList;
class Clock;
class RegistryStore;
class SettingsStore;
struct GlobalSettings;

// Timer 2 of the main window as a one-shot Qt timer on the main thread.
class QtDisplayClearTimer : public QObject, public DisplayClearTimer {
  Q_OBJECT

 public:
  explicit QtDisplayClearTimer(QObject* parent = nullptr);
  void setOnExpiry(std::function<void()> onExpiry) { onExpiry_ = std::move(onExpiry); }
  void Start(uint32_t milliseconds) override;
  void Stop() override;

 private:
  QTimer timer_;
  std::function<void()> onExpiry_;
};

// The new-mail alerts on this desktop: Qt Multimedia for the sound, the session bus and X11
// for the do-not-disturb test, hidapi for the haptic pulse, the vendor library for the
// keyboard display, the registry store and the launcher entry for the unread counts.
// Lives on the main thread.
class DesktopAlerts : public QObject {
  Q_OBJECT

 public:
  // `programFolder` ends with "/" and is searched first for the display library.
  DesktopAlerts(RegistryStore* registry, const SettingsStore* settings, Clock& clock,
                const std::string& programFolder, QObject* parent = nullptr);

  // The alerts read their settings at each alert (on the check thread) from the copy that
  // `globals` returns then: a published copy that no other thread changes.
  void UseGlobals(std::function<std::shared_ptr<const GlobalSettings>()> globals);
  NewMailAlerts& alerts() { return alerts_; }
  QtSoundPlayer& player() { return player_; }

 private:
  QtSoundPlayer player_;
  DesktopBusyProbes busyProbes_;
  HidapiBackend hid_;
  HapticPulse haptic_;
  QtDisplayClearTimer clearTimer_;
  KeyboardDisplay keyboardDisplay_;
  LauncherEntryPublisher launcherEntry_;
  NewMailAlerts alerts_;
};

// The alerts' share of a check: the sound, the haptic pulse, and the tray update's keyboard
// display and unread counts.
class AlertsNotifier : public SilentNotifier {
 public:
  AlertsNotifier(NewMailAlerts& alerts, std::function<const AccountTypeList*()> accounts)
      : alerts_(alerts), accounts_(std::move(accounts)) {}

  void UpdateTray(uint32_t totalCount, const Text& allMailText, CheckStatus status) override;
  void PlayNewMailSound(uint32_t firstNewTypeBit) override;
  void GiveLogitechFeedback() override;

 private:
  NewMailAlerts& alerts_;
  std::function<const AccountTypeList*()> accounts_;
};

}  // namespace tarvel
