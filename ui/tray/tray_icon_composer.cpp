#include "ui/tray/tray_icon_composer.h"

#include <algorithm>

#include "accounts/option_flags.h"

namespace tarvel {

const std::array<TrayIconStyleInfo, 11> kTrayIconStyles = {{
    {TrayIconStyle::OutlookCom, u"Outlook.com", 0, 113, 119},
    {TrayIconStyle::OutlookComWhite, u"Outlook.com White", flag_bits::kTrayOutlookComWhite, 112,
     119},
    {TrayIconStyle::FancyOutlook, u"Fancy Outlook", flag_bits::kTrayFancyOutlook, 216, 215},
    {TrayIconStyle::Hotmail, u"Hotmail", flag_bits::kTrayHotmail, 114, 115},
    {TrayIconStyle::HotmailWhite, u"Hotmail White", flag_bits::kTrayHotmailWhite, 116, 115},
    {TrayIconStyle::Outlook, u"Outlook", flag_bits::kTrayOutlook, 131, 132},
    {TrayIconStyle::MsnMessenger, u"MSN Messenger", flag_bits::kTrayMsnMessenger, 117, 118},
    {TrayIconStyle::GMail, u"GMail", flag_bits::kTrayGMail, 210, 209},
    {TrayIconStyle::Yandex, u"Yandex", flag_bits::kTrayYandex, 212, 211},
    {TrayIconStyle::MailRu, u"Mail.ru", flag_bits::kTrayMailRu, 223, 222},
    {TrayIconStyle::Apple, u"Apple", flag_bits::kTrayApple, 220, 219},
}};

namespace {

// The order in which set style bits are tested.
constexpr std::array<uint64_t, 10> kStylePrecedence = {
    flag_bits::kTrayOutlookComWhite, flag_bits::kTrayOutlook,      flag_bits::kTrayHotmail,
    flag_bits::kTrayHotmailWhite,    flag_bits::kTrayMsnMessenger, flag_bits::kTrayGMail,
    flag_bits::kTrayYandex,          flag_bits::kTrayMailRu,       flag_bits::kTrayFancyOutlook,
    flag_bits::kTrayApple,
};

constexpr uint32_t kMaxDigit = 9;

}  // namespace

const TrayIconStyleInfo& TrayIconStyleFromFlags(uint64_t flags) {
  for (const uint64_t bit : kStylePrecedence) {
    if ((flags & bit) == 0)
      continue;
    for (const TrayIconStyleInfo& style : kTrayIconStyles) {
      if (style.flagBit == bit)
        return style;
    }
  }
  return kTrayIconStyles[0];
}

uint32_t TrayStyleIcon(uint64_t flags, bool hasMail, CheckStatus status) {
  if (status == CheckStatus::OutsideCheckHours)
    return tray_icons::kOutsideCheckHours;
  if (status == CheckStatus::Failure)
    return tray_icons::kCheckFailed;
  const TrayIconStyleInfo& style = TrayIconStyleFromFlags(flags);
  return hasMail ? style.mailIcon : style.noMailIcon;
}

TrayIconComposition ComposeTrayIcon(uint32_t count, CheckStatus status, uint64_t flags,
                                    const CustomTrayPictures& pictures) {
  TrayIconComposition composition;
  if (status == CheckStatus::OutsideCheckHours) {
    composition.primary = TrayPicture::Icon(tray_icons::kOutsideCheckHours);
    return composition;
  }
  if (count > 0 && status != CheckStatus::Failure) {
    const bool mailPictureTakesDigit =
        !pictures.mail || (flags & flag_bits::kCustomTrayPictureIsIcon) != 0;
    const TrayPicture mailPicture = pictures.mail
                                        ? TrayPicture::CustomMail()
                                        : TrayPicture::Icon(TrayStyleIcon(flags, true, status));
    if (count <= kMaxDigit && (flags & flag_bits::kHideTrayCount) == 0 && mailPictureTakesDigit) {
      if ((flags & flag_bits::kTrayCountAsBadge) != 0) {
        composition.digitForm = TrayDigitForm::Badge;
        composition.primary = TrayPicture::Icon(tray_icons::kDigitBadge);
      } else {
        composition.digitForm = TrayDigitForm::Plain;
        composition.primary = mailPicture;
      }
      composition.digit = count;
      composition.alternate = pictures.noMail
                                  ? TrayPicture::CustomNoMail()
                                  : TrayPicture::Icon(TrayStyleIcon(flags, false, status));
    } else {
      composition.primary = mailPicture;
      composition.alternate = TrayPicture::Icon(tray_icons::kManyMails);
    }
    return composition;
  }
  if (pictures.noMail && status != CheckStatus::Failure) {
    composition.primary = TrayPicture::CustomNoMail();
  } else {
    composition.primary = TrayPicture::Icon(TrayStyleIcon(flags, false, status));
  }
  return composition;
}

TrayDigitLayout DigitLayout(TrayDigitForm form, int width, int height) {
  TrayDigitLayout layout;
  if (form == TrayDigitForm::Badge) {
    layout.right = std::max(width - 1, 0);
    layout.bottom = height;
    layout.fontPixelHeight = height;
    layout.alignment = TrayDigitLayout::Alignment::Centre;
  } else {
    // Integer arithmetic for floor(w * 0.21875), floor(h * 0.11875) and floor(w * 0.6875).
    layout.right = width - (width * 7) / 32;
    layout.bottom = height - (height * 19) / 160;
    layout.fontPixelHeight = std::max((width * 11) / 16, 12);
    layout.alignment = TrayDigitLayout::Alignment::BottomRight;
  }
  return layout;
}

TrayAlternation NextTrayAlternation(uint32_t intervalMilliseconds, bool hasAlternate,
                                    bool showingAlternate) {
  if (intervalMilliseconds != 0 && hasAlternate)
    return {!showingAlternate, true};
  return {false, false};
}

}  // namespace tarvel
