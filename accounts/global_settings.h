#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "accounts/account_type.h"
#include "platform/text.h"

namespace tarvel {

class AccountTypeList;
class OptionFlags;
class SettingsStore;

// The desktop theme at start, which chooses the default colours of the popup.
enum class DesktopTheme {
  Light,
  Dark,
};

// Colour defaults of the popup, 0xRRGGBB.
struct PopupColors {
  uint32_t text;
  uint32_t title;
  uint32_t provider;
  uint32_t note;
  uint32_t background;
  uint32_t backgroundLogo;
};
PopupColors DefaultPopupColors(DesktopTheme theme);

// The check interval in seconds for a stored `RefreshTime`: with bit 31 set the low 31 bits
// are seconds, otherwise the value is minutes. An interval of 0 would start checks back to
// back, so it gives the default of 300 seconds.
uint32_t RefreshSecondsFromStored(uint64_t stored);

inline constexpr uint64_t kDefaultRefreshTime = 0x8000012C;

// Every global setting the program reads at start, with its default.
struct GlobalSettings {
  explicit GlobalSettings(DesktopTheme theme = DesktopTheme::Light);

  uint32_t taskBarWindowWidth = 500;
  uint64_t flags = 0x1010;
  uint32_t checkRange = 0xFFFFFF;
  uint32_t checkRangeDays = 127;
  uint32_t toolTipTime = 10;
  uint32_t transparency = 255;
  uint32_t textColor;
  uint32_t titleColor;
  uint32_t providerColor;
  uint32_t noteColor;
  uint32_t backgroundColor;
  uint32_t backgroundLogoColor;
  uint32_t alternatingShellIcon = 0;
  Text unreadMailCountRegistryLocation;
  uint32_t mailListIncludeProvider = 0;
  int32_t logitechHapticFeedback = -1;
  uint64_t refreshTime = kDefaultRefreshTime;  // as stored
  uint32_t refreshSeconds = 300;               // as the check cycle uses it
  // The reader of each account type, by list index; the IMAP types read theirs themselves.
  std::array<Text, kAccountTypeCount> readers;
  uint32_t hotmailAccountType = 0;
  uint32_t outlookAccountType = 0;
  Text virgilioEmail;
  Text virgilioPassword;
  Text notesPassword;
  Text iNotesServer;
  Text iNotesName;
  Text iNotesPassword;
  Text gmailFolderList;
  Text gmailWebsite;
  Text hotmailWebsite;
  Text outlookWebsite;
  Text facebookWebsite;
  Text notesFolderList;
  Text ewsServer;
  Text ewsUser;
  Text ewsPassword;
  Text ewsWebsite;
  uint32_t yandexCheckAllFolders = 0;
  Text newMailSound;
  // A CA file trusted besides the system's for every TLS connection; empty for none.
  Text certificateAuthorityFile;

  // Reads every setting in start-up order; missing values keep their defaults.
  // `programFolder` ends with "/" and holds the default sound of registry mode.
  void Load(const SettingsStore& store, DesktopTheme theme, const std::string& programFolder);

  // Hands the settings to those that use them (the check cycle's own are applied by the
  // cycle: ApplyCheckSettings).
  void ApplyTo(OptionFlags& optionFlags) const;
  void ApplyToNetwork() const;
  void ApplyTo(AccountTypeList& accounts) const;

  // The reader of a type by its reader setting name ("MailHandlerGMail"); null for others.
  Text* readerFor(std::u16string_view settingName);
};

// Whether the account type's reader is among the global settings.
bool HasGlobalReader(const AccountTypeInfo& type);

}  // namespace tarvel
