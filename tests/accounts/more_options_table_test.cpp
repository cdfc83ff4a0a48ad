#include "accounts/more_options_table.h"

#include <gtest/gtest.h>

#include "accounts/global_settings.h"
#include "accounts/registry_store.h"
#include "accounts/settings_store.h"
#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

const MoreOptionRow& Row(std::u16string_view name) {
  for (const MoreOptionRow& row : kMoreOptionsTable) {
    if (row.name == name)
      return row;
  }
  ADD_FAILURE() << "no row";
  return kMoreOptionsTable[0];
}

struct MoreOptions : ::testing::Test {
  void SetUp() override {
    ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, {}, folder.file("tarvel.ini")));
  }
  testing::TempFolder folder;
  SettingsStore store;
  GlobalSettings settings;
};

TEST_F(MoreOptions, ParsesEnteredTextsByTheRowsForm) {
  struct Case {
    std::u16string_view name;
    std::u16string_view entered;
    MoreOptionResult result;
    const char* storedText;  // the ini text afterwards; null when nothing is stored
    const char16_t* shown;
  };
  const Case cases[] = {
      {u"Transparency", u"abc", MoreOptionResult::Rejected, nullptr, u"255"},
      {u"Transparency", u"200", MoreOptionResult::Stored, "200", u"200"},
      {u"Transparency", u" 180px", MoreOptionResult::Stored, "180", u"180"},  // scanf stops
      {u"TaskBarWindowWidth", u"", MoreOptionResult::Rejected, nullptr, u"500"},
      {u"TaskBarWindowWidth", u"99999999999", MoreOptionResult::Stored, "4294967295",
       u"4294967295"},
      {u"ProviderColor", u"0xff8000", MoreOptionResult::Stored, "16744448", u"0xFF8000"},
      {u"TitleColor", u"A0b0C0", MoreOptionResult::Stored, "10531008", u"0xA0B0C0"},
      {u"TextColor", u"0x", MoreOptionResult::Stored, "0", u"0x0"},
      {u"NoteColor", u"xyz", MoreOptionResult::Rejected, nullptr, u"0xB0B0B0"},
      {u"LogitechHapticFeedback", u"-1", MoreOptionResult::Stored, "18446744073709551615", u"-1"},
      {u"LogitechHapticFeedback", u"12", MoreOptionResult::Stored, "12", u"12"},
      {u"LogitechHapticFeedback", u"-", MoreOptionResult::Rejected, nullptr, u"-1"},
      {u"MailListTopMost", u"Yes", MoreOptionResult::Stored, "1", u"Yes"},
      {u"MailListTopMost", u"yes", MoreOptionResult::Stored, "0", u"No"},
      {u"MailListIncludeProvider", u"Yes", MoreOptionResult::Stored, "1", u"Yes"},
      {u"UnreadMailCountRegistryLocation", u" Any text ", MoreOptionResult::Stored, "Any text",
       u" Any text "},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(Text(row.name).ToUtf8() + " <- " + Text(row.entered).ToUtf8());
    store.deleteValue(row.name);
    settings = GlobalSettings();
    EXPECT_EQ(ApplyMoreOption(Row(row.name), Text(row.entered), store, settings), row.result);
    const std::optional<StoredSetting> stored = store.readStored(row.name);
    if (row.storedText) {
      ASSERT_TRUE(stored);
      Text trimmed = stored->text;
      trimmed.Trim();
      EXPECT_EQ(trimmed.ToUtf8(), row.storedText);
    } else {
      EXPECT_FALSE(stored);
    }
    EXPECT_EQ(FormatMoreOption(Row(row.name), store, settings), std::u16string_view(row.shown));
  }
}

TEST_F(MoreOptions, TheHapticValueRoundTripsAsOffThroughTheStore) {
  ASSERT_EQ(ApplyMoreOption(Row(u"LogitechHapticFeedback"), Text(u"-1"), store, settings),
            MoreOptionResult::Stored);
  EXPECT_EQ(store.readNumber(u"LogitechHapticFeedback", 0), ~uint64_t{0});
  GlobalSettings loaded;
  loaded.Load(store, DesktopTheme::Light, "/");
  EXPECT_EQ(loaded.logitechHapticFeedback, -1);
  EXPECT_EQ(FormatMoreOption(Row(u"LogitechHapticFeedback"), store, loaded), u"-1");
}

TEST_F(MoreOptions, YesNeedsExactlyOneInBothHalves) {
  ASSERT_TRUE(store.writeNumber(u"AllowSoundInFullscreen", (uint64_t{1} << 32) | 1));
  EXPECT_EQ(FormatMoreOption(Row(u"AllowSoundInFullscreen"), store, settings), u"No");
  ASSERT_TRUE(store.writeNumber(u"AllowSoundInFullscreen", 1));
  EXPECT_EQ(FormatMoreOption(Row(u"AllowSoundInFullscreen"), store, settings), u"Yes");
}

}  // namespace
}  // namespace tarvel
