#pragma once

#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "ui/readers/reader_list.h"

namespace tarvel {

class AccountTypeList;
class ImapSignIn;
class OptionFlags;
class SettingsStore;
struct AutostartPlace;
struct GlobalSettings;

// What the pages of the options dialog read, write and call. The store and the values in
// memory are the program's own; the option word is written to the store by the dialog on OK.
struct OptionsContext {
  SettingsStore* store = nullptr;
  GlobalSettings* globals = nullptr;
  OptionFlags* flags = nullptr;
  // The running account types (an IMAP slot's reported folders); null in tests without them.
  AccountTypeList* accounts = nullptr;
  // Ends the signed-in session of a web account type.
  std::function<void(const AccountTypeInfo& type)> logout;
  // Opens the sign-in window of a web account type; unset: no sign-in button.
  std::function<void(const AccountTypeInfo& type)> signIn;
  // Sets the main window's check timer (timer 1) to the delay.
  std::function<void(uint32_t delayMs)> setCheckTimer;
  // Opens an address with the desktop's default handler.
  std::function<void(std::string_view url)> openUrl;
  // Plays a sound file once, without waiting for it.
  std::function<void(const Text& path)> playSound;
  // Where "Start when I log in" writes its entry; null hides the option (portable mode).
  const AutostartPlace* autostart = nullptr;
  // The E-Mail Reader list of an account type's page; empty: the desktop's readers.
  std::function<std::vector<ReaderListEntry>(const AccountTypeInfo& type)> readerList;
  // What the embedded browser lacks on this system, named for the user; empty when it can
  // start. Unset: asked of the system.
  std::function<QString()> missingBrowserParts;
  // The outside library an account type lacks (MAPI provider, Notes proxy), named for the
  // user; empty when it is there. Unset: asked of the system and the running engines.
  std::function<QString(const AccountTypeInfo& type)> missingLibrary;
  // The OAuth2 sign-in of the IMAP slots; null: their pages offer none.
  ImapSignIn* imapSignIn = nullptr;
  // The locale's first day of the week, 0 = Monday .. 6 = Sunday: the first day cell.
  int firstDayOfWeek = 0;
  // An update host is configured, so the automatic update check can run; without one its
  // box is not offered for ticking.
  bool updateCheckAvailable = false;
  // The desktop places new windows itself (a Wayland session): the popup option brings its
  // notice as a desktop notification, and a note under the option says so.
  bool popupComesAsNotification = false;
};

// One page of the options dialog. A page fills its controls when it is built; Save runs
// only when the dialog ends with OK and the page was shown.
class OptionsPage : public QWidget {
 public:
  using QWidget::QWidget;
  virtual void Save() = 0;
};

// The kinds of tabs in the options dialog.
enum class OptionsTabKind {
  General,
  MoreOptions,
  Account,
};

struct OptionsTab {
  OptionsTabKind kind;
  uint32_t labelStringId;  // for the General and More Options tabs; 0 for an account tab
  uint32_t iconId;
  uint32_t accountTypeBit;  // the account type's typeBit for an account tab
};

// The tabs in order: the general options, More Options, the three IMAP slots, Exchange (whose
// engine works, so a user must be able to set it up), then the web and local account types.
// An account tab is labelled with its type's display name.
inline constexpr std::array<OptionsTab, 23> kOptionsTabs = {{
    {OptionsTabKind::General, 17, 120, 0},       {OptionsTabKind::MoreOptions, 50, 120, 0},
    {OptionsTabKind::Account, 0, 197, 0x8000},    // IMAP #1
    {OptionsTabKind::Account, 0, 197, 0x20000},   // IMAP #2
    {OptionsTabKind::Account, 0, 197, 0x40000},   // IMAP #3
    {OptionsTabKind::Account, 0, 225, 0x100000},  // Microsoft Exchange Web Service
    {OptionsTabKind::Account, 0, 113, 0x1},       // Outlook.com
    {OptionsTabKind::Account, 0, 113, 0x1000},    // Outlook.com Alternative
    {OptionsTabKind::Account, 0, 125, 0x2},       // GMail
    {OptionsTabKind::Account, 0, 126, 0x4},       // Yahoo
    {OptionsTabKind::Account, 0, 149, 0x80},      // Facebook
    {OptionsTabKind::Account, 0, 150, 0x100},     // Twitter
    {OptionsTabKind::Account, 0, 158, 0x400},     // LinkedIn
    {OptionsTabKind::Account, 0, 134, 0x8},       // Zoho
    {OptionsTabKind::Account, 0, 152, 0x200},     // Orange.fr
    {OptionsTabKind::Account, 0, 136, 0x10},      // Mail.ru
    {OptionsTabKind::Account, 0, 147, 0x20},      // Notes
    {OptionsTabKind::Account, 0, 201, 0x10000},   // iNotes Web
    {OptionsTabKind::Account, 0, 146, 0x40},      // Virgilio.it
    {OptionsTabKind::Account, 0, 175, 0x800},     // O2.pl
    {OptionsTabKind::Account, 0, 181, 0x2000},    // Yandex
    {OptionsTabKind::Account, 0, 184, 0x4000},    // SFR.fr
    {OptionsTabKind::Account, 0, 208, 0x80000},   // MAPI
}};

}  // namespace tarvel
