#pragma once

#include "ui/alerts/user_busy.h"

namespace tarvel {

// The do-not-disturb states of a freedesktop desktop: the notification server's `Inhibited`
// property and GNOME's banner setting (through the settings portal), the screen saver's
// active state, and on X11 the active window's full-screen state (on Wayland it cannot be
// seen). Every D-Bus call is bounded by `timeoutMs`; without a session bus nothing is asked.
class DesktopBusyProbes : public UserBusyProbes {
 public:
  explicit DesktopBusyProbes(int timeoutMs = 250) : timeoutMs_(timeoutMs) {}

  bool NotificationsSwitchedOff() override;
  bool ScreenSaverActive() override;
  bool ActiveWindowFullScreen() override;

 private:
  int timeoutMs_;
};

}  // namespace tarvel
