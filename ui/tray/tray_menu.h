#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "platform/text.h"

namespace tarvel {

// Icons of the tray menu.
namespace tray_menu_icons {
inline constexpr uint32_t kExit = 105;
inline constexpr uint32_t kOptions = 120;
inline constexpr uint32_t kCheckNow = 123;
inline constexpr uint32_t kSilenceTimed = 154;
inline constexpr uint32_t kNotificationsOff = 155;
inline constexpr uint32_t kNotificationsOn = 156;
}  // namespace tray_menu_icons

// One account entry of the tray menu, in the menu's order.
struct TrayMenuAccountEntry {
  uint32_t command;
  uint32_t typeBit;
  uint32_t icon;
};
extern const std::array<TrayMenuAccountEntry, 21> kTrayMenuAccounts;

// An account type as the menu needs it.
struct TrayMenuAccount {
  uint32_t typeBit = 0;
  bool enabled = false;
  Text displayName;
  // Why its last check failed ("IMAP #1: the server refused the login"); empty when it did
  // not fail. The menu shows it in place of the name.
  Text failure;
};

struct TrayMenuItem {
  enum class Kind {
    Command,
    Separator,
    Submenu,
  };
  Kind kind = Kind::Command;
  uint32_t command = 0;  // 0 for separators and the submenu
  Text text;
  uint32_t icon = 0;
  bool isDefault = false;  // shown in bold; at most one item
  std::vector<TrayMenuItem> children;
};

// The text of the "Silence" submenu: the word alone while notifications are on, else with
// the state of the silence.
Text SilenceMenuText(int32_t silenceMinutes, bool silencedForEver);

// The tray menu: the enabled account types (the last of them the default item), "Check Now",
// the "Silence" submenu, "Options" and "Exit". `accounts` may come in any order; types not in
// it count as disabled.
std::vector<TrayMenuItem> BuildTrayMenu(const std::vector<TrayMenuAccount>& accounts,
                                        int32_t silenceMinutes, bool silencedForEver);

}  // namespace tarvel
