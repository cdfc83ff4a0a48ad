#include "ui/tray/tray_menu.h"

#include "app/menu_commands.h"
#include "platform/display_text.h"
#include "resources/string_table.h"

namespace tarvel {

const std::array<TrayMenuAccountEntry, 21> kTrayMenuAccounts = {{
    {40034, 0x100000, 225}, {40032, 0x80000, 208}, {40009, 0x20, 147},    {40029, 0x10000, 201},
    {40026, 0x4000, 184},   {40028, 0x8000, 197},  {40030, 0x20000, 197}, {40031, 0x40000, 197},
    {40011, 0x80, 149},     {40012, 0x100, 150},   {40013, 0x200, 152},   {40023, 0x800, 175},
    {40025, 0x2000, 181},   {40022, 0x400, 158},   {40010, 0x40, 146},    {40008, 0x10, 136},
    {40007, 0x8, 134},      {40006, 0x4, 126},     {40005, 0x2, 125},     {40033, 0x1000, 113},
    {40003, 0x1, 113},
}};

namespace {

// A failure's reason may be long (a server's own words); the menu keeps its items narrow.
constexpr Text::Position kFailureMenuTextMax = 96;

constexpr uint32_t kStringExit = 4;
constexpr uint32_t kStringOptions = 17;
constexpr uint32_t kStringCheckNow = 23;
constexpr uint32_t kStringSilence = 28;
constexpr uint32_t kStringForMinutes = 29;
constexpr uint32_t kStringUntilNextStart = 30;
constexpr uint32_t kStringNotificationsOn = 31;
constexpr uint32_t kStringForOneMinute = 32;
constexpr uint32_t kStringForever = 48;

TrayMenuItem Command(uint32_t command, Text text, uint32_t icon) {
  TrayMenuItem item;
  item.command = command;
  item.text = std::move(text);
  item.icon = icon;
  return item;
}

TrayMenuItem Separator() {
  TrayMenuItem item;
  item.kind = TrayMenuItem::Kind::Separator;
  return item;
}

const TrayMenuAccount* FindAccount(const std::vector<TrayMenuAccount>& accounts, uint32_t typeBit) {
  for (const TrayMenuAccount& account : accounts) {
    if (account.typeBit == typeBit)
      return &account;
  }
  return nullptr;
}

}  // namespace

Text SilenceMenuText(int32_t silenceMinutes, bool silencedForEver) {
  Text text = LoadString(kStringSilence);
  if (silenceMinutes < 0)
    return text;
  text += u" - ";
  if (silenceMinutes == 0) {
    text += LoadString(silencedForEver ? kStringForever : kStringUntilNextStart);
  } else if (silenceMinutes == 1) {
    text += LoadString(kStringForOneMinute);
  } else {
    text += FormatString(LoadString(kStringForMinutes), static_cast<uint32_t>(silenceMinutes));
  }
  return text;
}

std::vector<TrayMenuItem> BuildTrayMenu(const std::vector<TrayMenuAccount>& accounts,
                                        int32_t silenceMinutes, bool silencedForEver) {
  std::vector<TrayMenuItem> menu;
  for (const TrayMenuAccountEntry& entry : kTrayMenuAccounts) {
    const TrayMenuAccount* account = FindAccount(accounts, entry.typeBit);
    if (account == nullptr || !account->enabled)
      continue;
    menu.push_back(Command(entry.command,
                           account->failure.isEmpty()
                               ? account->displayName
                               : CutText(account->failure, kFailureMenuTextMax),
                           entry.icon));
  }
  if (!menu.empty()) {
    menu.back().isDefault = true;
    menu.push_back(Separator());
  }
  menu.push_back(Command(kCmdCheckNow, LoadString(kStringCheckNow), tray_menu_icons::kCheckNow));

  TrayMenuItem silence;
  silence.kind = TrayMenuItem::Kind::Submenu;
  silence.text = SilenceMenuText(silenceMinutes, silencedForEver);
  silence.icon =
      silenceMinutes < 0 ? tray_menu_icons::kNotificationsOn : tray_menu_icons::kNotificationsOff;
  silence.children.push_back(Command(kCmdNotificationsOn, LoadString(kStringNotificationsOn),
                                     tray_menu_icons::kNotificationsOn));
  const Text forMinutes = LoadString(kStringForMinutes);
  for (const uint32_t command :
       {kCmdSilence5, kCmdSilence15, kCmdSilence30, kCmdSilence60, kCmdSilence120}) {
    const uint32_t minutes = static_cast<uint32_t>(*SilenceMinutesForCommand(command));
    silence.children.push_back(
        Command(command, FormatString(forMinutes, minutes), tray_menu_icons::kSilenceTimed));
  }
  silence.children.push_back(Command(kCmdSilenceUntilRestart, LoadString(kStringUntilNextStart),
                                     tray_menu_icons::kSilenceTimed));
  silence.children.push_back(
      Command(kCmdSilenceForEver, LoadString(kStringForever), tray_menu_icons::kSilenceTimed));
  menu.push_back(std::move(silence));

  menu.push_back(Separator());
  menu.push_back(Command(kCmdOptions, LoadString(kStringOptions), tray_menu_icons::kOptions));
  menu.push_back(Command(kCmdExit, LoadString(kStringExit), tray_menu_icons::kExit));
  return menu;
}

}  // namespace tarvel
