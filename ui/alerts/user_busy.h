#pragma once

#include <string_view>

namespace tarvel {

class RegistryStore;

// The key and value that switch all notifications off when 0, as the desktop settings of the
// user keep them.
inline constexpr std::string_view kNotificationSettingsKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Notifications\\Settings";
inline constexpr std::string_view kToastsEnabledValue = "NOC_GLOBAL_SETTING_TOASTS_ENABLED";

// The desktop's own states that mean "do not disturb". Each probe answers quickly: a probe
// that cannot ask (no session bus, no service, a time-out) answers false.
class UserBusyProbes {
 public:
  virtual ~UserBusyProbes() = default;
  // The desktop's do-not-disturb: notifications inhibited or banners switched off.
  virtual bool NotificationsSwitchedOff() = 0;
  // A screen saver runs or the screen is locked.
  virtual bool ScreenSaverActive() = 0;
  // The active window covers the screen in full-screen state.
  virtual bool ActiveWindowFullScreen() = 0;
};

// True when the user is not to be disturbed: notifications switched off in the store
// (`registry` may be null) or on the desktop, a screen saver, or a full-screen window. The
// probes are asked in that order and the first that holds ends the test.
bool IsUserBusy(RegistryStore* registry, UserBusyProbes& probes);

// Whether the user should not be disturbed by a popup now, as the popup asks it.
class UserBusyProbe {
 public:
  virtual ~UserBusyProbe() = default;
  virtual bool IsUserBusy() = 0;
};

// A user who is never busy, for callers without the desktop's probes.
class NeverBusy : public UserBusyProbe {
 public:
  bool IsUserBusy() override { return false; }
};

}  // namespace tarvel
