#include "ui/tray/tray_icon_composer.h"

#include <gtest/gtest.h>

#include <set>

#include "accounts/option_flags.h"
#include "platform/text.h"

namespace tarvel {
namespace {

using flag_bits::kCustomTrayPictureIsIcon;
using flag_bits::kHideTrayCount;
using flag_bits::kTrayCountAsBadge;

TEST(TrayIconStyle, FirstSetBitInPrecedenceOrderWins) {
  struct Case {
    const char* name;
    uint64_t flags;
    std::u16string_view style;
  };
  const Case cases[] = {
      {"no style bit", 0x0, u"Outlook.com"},
      {"default option word", flag_bits::kDefault, u"Hotmail White"},
      {"one bit each", 0x4, u"Outlook.com White"},
      {"fancy outlook", 0x80000000, u"Fancy Outlook"},
      {"hotmail", 0x8, u"Hotmail"},
      {"outlook", 0x200, u"Outlook"},
      {"msn", 0x2, u"MSN Messenger"},
      {"gmail", 0x20000000, u"GMail"},
      {"yandex", 0x40000000, u"Yandex"},
      {"mail.ru in the high half", 0x200000000, u"Mail.ru"},
      {"apple", 0x200000, u"Apple"},
      {"0x200 beats 0x8 although 0x8 is lower", 0x208, u"Outlook"},
      {"0x4 beats everything", 0x4 | 0x200 | 0x200000, u"Outlook.com White"},
      {"mail.ru beats fancy outlook", 0x200000000 | 0x80000000, u"Mail.ru"},
      {"fancy outlook beats apple", 0x80000000 | 0x200000, u"Fancy Outlook"},
      {"msn beats gmail", 0x2 | 0x20000000, u"MSN Messenger"},
      {"other bits do not count", 0x1 | 0x20 | 0x1000 | (1ull << 36), u"Outlook.com"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(TrayIconStyleFromFlags(row.flags).name, row.style);
  }
}

TEST(TrayIconStyle, StatusIconsOverrideTheStyle) {
  EXPECT_EQ(TrayStyleIcon(0x8, true, CheckStatus::Success), 115u);
  EXPECT_EQ(TrayStyleIcon(0x8, false, CheckStatus::Success), 114u);
  EXPECT_EQ(TrayStyleIcon(0x8, true, CheckStatus::LoginNeeded), 115u);
  EXPECT_EQ(TrayStyleIcon(0x8, true, CheckStatus::Failure), 141u);
  EXPECT_EQ(TrayStyleIcon(0x8, false, CheckStatus::Failure), 141u);
  EXPECT_EQ(TrayStyleIcon(0x8, true, CheckStatus::OutsideCheckHours), 200u);
}

TEST(TrayIconStyle, EveryStyleHasItsOwnIcons) {
  std::set<uint32_t> noMail;
  for (const TrayIconStyleInfo& style : kTrayIconStyles) {
    SCOPED_TRACE(Text(style.name).ToUtf8());
    EXPECT_NE(style.noMailIcon, style.mailIcon);
    EXPECT_TRUE(noMail.insert(style.noMailIcon).second);
    EXPECT_EQ(TrayIconStyleFromFlags(style.flagBit).style, style.style);
  }
}

TEST(ComposeTrayIcon, PrimaryAlternateAndDigit) {
  const auto icon = TrayPicture::Icon;
  const TrayPicture customMail = TrayPicture::CustomMail();
  const TrayPicture customNoMail = TrayPicture::CustomNoMail();
  const CustomTrayPictures noPictures;
  const CustomTrayPictures bothPictures{true, true};
  const CustomTrayPictures onlyNoMail{true, false};
  struct Case {
    const char* name;
    uint32_t count;
    CheckStatus status;
    uint64_t flags;
    CustomTrayPictures pictures;
    TrayPicture primary;
    std::optional<TrayPicture> alternate;
    TrayDigitForm form;
  };
  const uint64_t hotmailWhite = flag_bits::kDefault;
  const Case cases[] = {
      {"no mail", 0, CheckStatus::Success, hotmailWhite, noPictures, icon(116), std::nullopt,
       TrayDigitForm::None},
      {"three mails, digit on the mail icon", 3, CheckStatus::Success, hotmailWhite, noPictures,
       icon(115), icon(116), TrayDigitForm::Plain},
      {"nine is still a digit", 9, CheckStatus::Success, 0x0, noPictures, icon(119), icon(113),
       TrayDigitForm::Plain},
      {"ten mails alternate with the many-mails icon", 10, CheckStatus::Success, hotmailWhite,
       noPictures, icon(115), icon(229), TrayDigitForm::None},
      {"digit hidden", 1, CheckStatus::Success, hotmailWhite | kHideTrayCount, noPictures,
       icon(115), icon(229), TrayDigitForm::None},
      {"badge form draws on the badge", 4, CheckStatus::Success, hotmailWhite | kTrayCountAsBadge,
       noPictures, icon(224), icon(116), TrayDigitForm::Badge},
      {"badge form but digit hidden", 4, CheckStatus::Success,
       hotmailWhite | kTrayCountAsBadge | kHideTrayCount, noPictures, icon(115), icon(229),
       TrayDigitForm::None},
      {"failed check shows no digit although mails are counted", 3, CheckStatus::Failure,
       hotmailWhite, noPictures, icon(141), std::nullopt, TrayDigitForm::None},
      {"failed check with no mail", 0, CheckStatus::Failure, hotmailWhite, bothPictures, icon(141),
       std::nullopt, TrayDigitForm::None},
      {"outside the check hours", 0, CheckStatus::OutsideCheckHours, hotmailWhite, bothPictures,
       icon(200), std::nullopt, TrayDigitForm::None},
      {"outside the check hours with mail", 5, CheckStatus::OutsideCheckHours, hotmailWhite,
       noPictures, icon(200), std::nullopt, TrayDigitForm::None},
      {"sign-in needed counts as mail", 2, CheckStatus::LoginNeeded, 0x200, noPictures, icon(132),
       icon(131), TrayDigitForm::Plain},
      {"custom no-mail picture", 0, CheckStatus::Success, hotmailWhite, onlyNoMail, customNoMail,
       std::nullopt, TrayDigitForm::None},
      {"custom pictures that are not icons take no digit", 2, CheckStatus::Success, hotmailWhite,
       bothPictures, customMail, icon(229), TrayDigitForm::None},
      {"a custom icon takes the digit", 2, CheckStatus::Success,
       hotmailWhite | kCustomTrayPictureIsIcon, bothPictures, customMail, customNoMail,
       TrayDigitForm::Plain},
      {"custom no-mail picture alternates with the digit", 2, CheckStatus::Success, hotmailWhite,
       onlyNoMail, icon(115), customNoMail, TrayDigitForm::Plain},
      {"custom mail picture with many mails", 12, CheckStatus::Success,
       hotmailWhite | kCustomTrayPictureIsIcon, bothPictures, customMail, icon(229),
       TrayDigitForm::None},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    const TrayIconComposition composed =
        ComposeTrayIcon(row.count, row.status, row.flags, row.pictures);
    EXPECT_EQ(composed.primary, row.primary);
    EXPECT_EQ(composed.alternate, row.alternate);
    EXPECT_EQ(composed.digitForm, row.form);
    EXPECT_EQ(composed.digit, row.form == TrayDigitForm::None ? 0u : row.count);
  }
}

TEST(TrayDigitLayout, PlainAndBadgeRectanglesAndFonts) {
  struct Case {
    TrayDigitForm form;
    int size;
    int right;
    int bottom;
    int font;
  };
  const Case cases[] = {
      {TrayDigitForm::Plain, 16, 13, 15, 12},  // 11 would be too small: at least 12
      {TrayDigitForm::Plain, 22, 18, 20, 15}, {TrayDigitForm::Plain, 32, 25, 29, 22},
      {TrayDigitForm::Plain, 44, 35, 39, 30}, {TrayDigitForm::Badge, 22, 21, 22, 22},
      {TrayDigitForm::Badge, 44, 43, 44, 44},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.size);
    const TrayDigitLayout layout = DigitLayout(row.form, row.size, row.size);
    EXPECT_EQ(layout.left, 0);
    EXPECT_EQ(layout.top, 0);
    EXPECT_EQ(layout.right, row.right);
    EXPECT_EQ(layout.bottom, row.bottom);
    EXPECT_EQ(layout.fontPixelHeight, row.font);
    EXPECT_EQ(layout.alignment, row.form == TrayDigitForm::Badge
                                    ? TrayDigitLayout::Alignment::Centre
                                    : TrayDigitLayout::Alignment::BottomRight);
  }
}

TEST(TrayAlternation, FlipsOnlyWithAnIntervalAndAnAlternate) {
  struct Case {
    uint32_t interval;
    bool hasAlternate;
    bool showing;
    bool showNext;
    bool timer;
  };
  const Case cases[] = {
      {0, true, false, false, false},   {0, true, true, false, false},
      {500, false, true, false, false}, {500, true, false, true, true},
      {500, true, true, false, true},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(testing::Message() << row.interval << row.hasAlternate << row.showing);
    const TrayAlternation next = NextTrayAlternation(row.interval, row.hasAlternate, row.showing);
    EXPECT_EQ(next.showAlternate, row.showNext);
    EXPECT_EQ(next.timerRunning, row.timer);
  }
}

}  // namespace
}  // namespace tarvel
