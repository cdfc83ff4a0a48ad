#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/text.h"
#include "ui/alerts/haptic_pulse.h"
#include "ui/alerts/new_mail_sound.h"
#include "ui/alerts/unread_counts.h"

namespace tarvel {

class AccountTypeList;
class HapticPulse;
class KeyboardDisplay;
class RegistryStore;
class SettingsStore;
class UserBusyProbes;

// Plays wave files asynchronously; a new sound replaces the playing one.
class SoundPlayer {
 public:
  virtual ~SoundPlayer() = default;
  virtual void Play(const Text& path) = 0;
  virtual void Stop() = 0;
};

// The settings of the alerts read at start (and again after the options change).
struct AlertSettings {
  Text newMailSound;  // empty: no sound
  uint32_t logitechHapticFeedback = kNoHapticFeedback;
  uint32_t toolTipSeconds = 10;
  Text unreadMailCountRegistryLocation;
};

inline constexpr std::u16string_view kAllowSoundInFullscreen = u"AllowSoundInFullscreen";

// What the alerts are made of. Null pieces are left out (no display library, no HID).
struct AlertParts {
  RegistryStore* registry = nullptr;        // the per-user keys
  const SettingsStore* settings = nullptr;  // the program's settings, read at each alert
  UserBusyProbes* busyProbes = nullptr;
  SoundPlayer* player = nullptr;
  HapticPulse* haptic = nullptr;
  KeyboardDisplay* keyboardDisplay = nullptr;
  UnreadCountPublisher* unreadCountPublisher = nullptr;
  PlainFileTest isPlainFile = IsPlainFile;
};

// The alerts without a window of their own after a check: the new-mail sound, the haptic
// pulse, the keyboard display and the unread counts, with the do-not-disturb test that
// holds the sound back. Called on the check thread; the settings may be replaced from the
// main thread meanwhile.
class NewMailAlerts {
 public:
  explicit NewMailAlerts(AlertParts parts) : parts_(std::move(parts)) {}

  void Configure(const AlertSettings& settings);
  // Settings read at each alert from `source` instead (the program's global settings, which
  // are read at start before the first check).
  void ConfigureFrom(std::function<AlertSettings()> source);
  AlertSettings settings() const;

  bool IsUserBusy();
  // The sound for the first account type with new mail.
  void PlayNewMailSound(uint32_t firstNewTypeBit);
  // A click on the popup, the balloon or the tray icon.
  void StopNewMailSound();
  void SendHapticPulse();
  void ShowOnKeyboardDisplay(const Text& text);
  void WriteUnreadMailCount(const std::vector<AccountUnreadCount>& accounts, uint32_t total);

  // The tray update's share after a check: the tooltip on the keyboard display when there is
  // unread mail, then the unread counts of the enabled accounts.
  void OnTrayUpdated(const AccountTypeList& accounts, uint32_t totalCount, const Text& tooltip);

 private:
  AlertParts parts_;
  mutable std::mutex mutex_;
  AlertSettings settings_;
  std::function<AlertSettings()> source_;
};

}  // namespace tarvel
