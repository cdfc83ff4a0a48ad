#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "mail/check_status.h"

namespace tarvel {

// Icon resources the tray composes from.
namespace tray_icons {
inline constexpr uint32_t kCheckFailed = 141;
inline constexpr uint32_t kOutsideCheckHours = 200;
inline constexpr uint32_t kDigitOverlay = 124;  // drawn over the mail icon, under the digit
inline constexpr uint32_t kDigitBadge = 224;    // the badge behind the digit
inline constexpr uint32_t kManyMails = 229;     // alternate for counts above nine or no digit
}  // namespace tray_icons

enum class TrayIconStyle {
  OutlookCom,
  OutlookComWhite,
  FancyOutlook,
  Hotmail,
  HotmailWhite,
  Outlook,
  MsnMessenger,
  GMail,
  Yandex,
  MailRu,
  Apple,
};

struct TrayIconStyleInfo {
  TrayIconStyle style;
  std::u16string_view name;  // as the options list it
  uint64_t flagBit;          // 0 for the style chosen by no bit
  uint32_t noMailIcon;
  uint32_t mailIcon;
};

// The styles in the order the options list them.
extern const std::array<TrayIconStyleInfo, 11> kTrayIconStyles;

// The style the option word chooses; when several style bits are set the first in precedence
// order wins, none gives "Outlook.com".
const TrayIconStyleInfo& TrayIconStyleFromFlags(uint64_t flags);

// The icon for a check's outcome in the chosen style: the status icons outside the check
// hours and after a failure, else the style's mail or no-mail icon.
uint32_t TrayStyleIcon(uint64_t flags, bool hasMail, CheckStatus status);

// A picture the tray shows: an icon resource or one of the user's custom pictures.
struct TrayPicture {
  enum class Source {
    Icon,
    CustomMail,
    CustomNoMail,
  };
  Source source = Source::Icon;
  uint32_t icon = 0;  // for Source::Icon

  static TrayPicture Icon(uint32_t number) { return {Source::Icon, number}; }
  static TrayPicture CustomMail() { return {Source::CustomMail, 0}; }
  static TrayPicture CustomNoMail() { return {Source::CustomNoMail, 0}; }
  bool operator==(const TrayPicture&) const = default;
};

enum class TrayDigitForm {
  None,
  Plain,  // the count at the bottom right of the mail picture, over the overlay icon
  Badge,  // the count centred on the badge icon
};

// Which custom pictures were found at start.
struct CustomTrayPictures {
  bool noMail = false;
  bool mail = false;
};

// What the tray shows for a count and a status: the primary picture (with the digit drawn on
// it unless the form is None) and the optional alternate the icon alternates with.
struct TrayIconComposition {
  TrayPicture primary;
  std::optional<TrayPicture> alternate;
  TrayDigitForm digitForm = TrayDigitForm::None;
  uint32_t digit = 0;

  bool operator==(const TrayIconComposition&) const = default;
};

// The composition rules of the tray icon. `flags` is the option word; its run-time bit for an
// ".ico" mail picture tells whether a digit may be drawn on the custom mail picture.
TrayIconComposition ComposeTrayIcon(uint32_t count, CheckStatus status, uint64_t flags,
                                    const CustomTrayPictures& pictures);

// Where the digit goes in an icon image of `width` x `height` pixels.
struct TrayDigitLayout {
  enum class Alignment {
    Centre,
    BottomRight,
  };
  int left = 0;
  int top = 0;
  int right = 0;  // exclusive
  int bottom = 0;
  int fontPixelHeight = 0;
  Alignment alignment = Alignment::Centre;
};
TrayDigitLayout DigitLayout(TrayDigitForm form, int width, int height);

// The colour of the drawing surface the digit is drawn on, 0xRRGGBB; every other pixel of
// that surface is copied onto the icon.
inline constexpr uint32_t kDigitKeyColour = 0xFF521C;

// The alternation phase after a composition or a tick of the alternation timer.
struct TrayAlternation {
  bool showAlternate = false;
  bool timerRunning = false;
};
TrayAlternation NextTrayAlternation(uint32_t intervalMilliseconds, bool hasAlternate,
                                    bool showingAlternate);

}  // namespace tarvel
