#include "accounts/settings_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <string>

#include "accounts/account_type_list.h"
#include "accounts/global_settings.h"
#include "accounts/registry_store.h"
#include "tests/support/scripted_engine.h"
#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

using testing::ReadFileContent;
using testing::TempFolder;
using testing::WriteFileContent;

constexpr std::u16string_view kGroup = u"Cookies_00000002";

// One store of each mode over a temporary folder.
struct StoreModes : ::testing::TestWithParam<SettingsMode> {
  void SetUp() override {
    if (GetParam() == SettingsMode::Registry)
      ASSERT_TRUE(store.open(SettingsMode::Registry, &registry, kSettingsKeyPath));
    else
      ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, {}, folder.file("tarvel.ini")));
  }

  TempFolder folder;
  RegistryStore registry{folder.file("registry")};
  SettingsStore store;
};

TEST_P(StoreModes, TextsRoundTripWhateverTheyHold) {
  const Text cases[] = {
      Text(u"plain"),
      Text(u"  blanks at both ends  "),
      Text(u"\"quoted\""),
      Text(u"'single'"),
      Text(u"name=value; [section]"),
      Text(u"Ελληνικά \u20AC \U0001F600"),
      Text(std::u16string_view(std::u16string(100'000, u'x'))),  // far beyond any fixed read buffer
      Text(u""),
  };
  for (const Text& text : cases) {
    SCOPED_TRACE(text.ToUtf8().substr(0, 40));
    ASSERT_TRUE(store.writeText(u"Value", text));
    Text read;
    EXPECT_TRUE(store.readText(u"value", read, u"default"));
    EXPECT_EQ(read, text.view());
    ASSERT_TRUE(store.writeText(u"Value", text, kGroup));
    store.readText(u"Value", read, u"default", kGroup);
    EXPECT_EQ(read, text.view());
  }
}

TEST_P(StoreModes, NumbersKeepAll64Bits) {
  for (const uint64_t value : {uint64_t{0}, uint64_t{0x1010}, ~uint64_t{0}, uint64_t{1} << 63}) {
    ASSERT_TRUE(store.writeNumber(u"Flags", value));
    EXPECT_EQ(store.readNumber(u"Flags", 7), value);
  }
  EXPECT_EQ(store.readNumber(u"Missing", 42), 42u);
}

TEST_P(StoreModes, MissingValuesGiveTheDefault) {
  Text read;
  const bool found = store.readText(u"Missing", read, u"fallback");
  EXPECT_EQ(read, u"fallback");
  // The registry tells a missing value apart; the ini file never does.
  EXPECT_EQ(found, GetParam() == SettingsMode::IniFile);
}

TEST_P(StoreModes, DeletesValuesAndGroups) {
  ASSERT_TRUE(store.writeText(u"Kept", Text(u"1")));
  ASSERT_TRUE(store.writeText(u"Gone", Text(u"2")));
  ASSERT_TRUE(store.writeText(u"Cookie", Text(u"3"), kGroup));
  ASSERT_TRUE(store.writeText(u"Folder", Text(u"4"), u"IMAPFolders0"));
  EXPECT_TRUE(store.deleteValue(u"Gone"));
  EXPECT_FALSE(store.deleteValue(u"Gone"));
  EXPECT_TRUE(store.deleteGroup(kGroup));
  EXPECT_FALSE(store.deleteGroup(kGroup));
  EXPECT_FALSE(store.readStored(u"Cookie", kGroup));
  ASSERT_EQ(store.listGroups().size(), 1u);
  EXPECT_EQ(store.listGroups()[0], u"IMAPFolders0");
  ASSERT_EQ(store.listValues().size(), 1u);
  EXPECT_EQ(store.listValues()[0].name, u"Kept");
}

INSTANTIATE_TEST_SUITE_P(BothModes, StoreModes,
                         ::testing::Values(SettingsMode::Registry, SettingsMode::IniFile),
                         [](const auto& parameter) {
                           return parameter.param == SettingsMode::Registry ? "Registry"
                                                                            : "IniFile";
                         });

TEST(IniSettings, ReadsTheFileAsWindowsWritesIt) {
  TempFolder folder;
  const std::string path = folder.file("tarvel.ini");
  ASSERT_TRUE(WriteFileContent(path,
                               "; written by hand\r\n"
                               "[settings]\r\n"
                               "  Flags = 128  \r\n"
                               "RefreshTime=12abc\r\n"
                               "Name=\"  padded  \"\r\n"
                               "[Cookies_00000002]\r\n"
                               "c=1\r\n"));
  SettingsStore store;
  ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, {}, path));
  EXPECT_EQ(store.readNumber(u"flags", 0), 128u);
  // Not a number: the default.
  EXPECT_EQ(store.readNumber(u"RefreshTime", 99), 99u);
  Text name;
  store.readText(u"Name", name, u"");
  EXPECT_EQ(name, u"  padded  ");

  // A change keeps the comment, the other lines and the line ends.
  ASSERT_TRUE(store.writeNumber(u"Flags", 0x1010));
  ASSERT_TRUE(store.writeText(u"New", Text(u"v")));
  EXPECT_EQ(ReadFileContent(path),
            "; written by hand\r\n"
            "[settings]\r\n"
            "Flags=4112\r\n"
            "RefreshTime=12abc\r\n"
            "Name=\"  padded  \"\r\n"
            "New=v\r\n"
            "[Cookies_00000002]\r\n"
            "c=1\r\n");
}

TEST(IniSettings, WritesReadBackWhateverTheFileHeldBefore) {
  TempFolder folder;
  const std::string path = folder.file("tarvel.ini");
  constexpr std::string_view kPieces[] = {
      "[",    "]",    "=",        ";",        "\"",    "'",         " ",        "\r",
      "\n",   "\r\n", "Settings", "settings", "Probe", "Cookies_1", "\xFF\xFE", "\xEF\xBB\xBF",
      "\xC3", "x",    "\0",       "\t"};
  std::mt19937 random(2024);
  for (int round = 0; round < 200; ++round) {
    std::string content;
    const int pieces = static_cast<int>(random() % 40);
    for (int piece = 0; piece < pieces; ++piece)
      content += kPieces[random() % std::size(kPieces)];
    SCOPED_TRACE(::testing::PrintToString(content));
    ASSERT_TRUE(WriteFileContent(path, content));
    SettingsStore store;
    ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, {}, path));
    ASSERT_TRUE(store.writeText(u"Probe", Text(u" value ")));
    ASSERT_TRUE(store.writeNumber(u"Number", 42, u"Cookies_1"));
    Text read;
    store.readText(u"Probe", read, u"");
    EXPECT_EQ(read, u" value ");
    EXPECT_EQ(store.readNumber(u"Number", 0, u"Cookies_1"), 42u);
  }
}

TEST(IniSettings, RefusesWhatALineCannotCarry) {
  TempFolder folder;
  SettingsStore store;
  ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, {}, folder.file("tarvel.ini")));
  EXPECT_FALSE(store.writeText(u"Name", Text(u"two\nlines")));
  EXPECT_FALSE(store.writeText(u"Na=me", Text(u"v")));
  EXPECT_FALSE(store.writeText(u"[Name", Text(u"v")));
  EXPECT_FALSE(store.writeText(u"Name", Text(u"v"), u"Group]"));
  EXPECT_FALSE(std::filesystem::exists(folder.file("tarvel.ini")));
}

TEST(IniSettings, PortableModeStartsWithDefaultsAndCreatesTheFileOnTheFirstWrite) {
  TempFolder folder;
  const std::string path = PortableSettingsPath(folder.file("tarvel"));
  EXPECT_EQ(path, folder.file("tarvel.ini"));
  SettingsStore store;
  ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, {}, path));
  GlobalSettings settings;
  settings.Load(store, DesktopTheme::Light, folder.path() + "/");
  EXPECT_EQ(settings.flags, 0x1010u);
  EXPECT_EQ(settings.refreshSeconds, 300u);
  EXPECT_EQ(settings.taskBarWindowWidth, 500u);
  EXPECT_EQ(settings.logitechHapticFeedback, -1);
  EXPECT_EQ(settings.newMailSound, u"");  // no default sound in portable mode
  EXPECT_FALSE(std::filesystem::exists(path));

  ASSERT_TRUE(store.writeNumber(u"Flags", 0x1090));
  EXPECT_TRUE(std::filesystem::exists(path));
  settings.Load(store, DesktopTheme::Light, folder.path() + "/");
  EXPECT_EQ(settings.flags, 0x1090u);
}

TEST(IniSettings, AnUnreadableFileIsNeverOverwritten) {
  TempFolder folder;
  const std::string path = folder.file("tarvel.ini");
  std::filesystem::create_directory(path);  // a folder where the file should be
  SettingsStore store;
  ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, {}, path));
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(store.isUsable());
  EXPECT_EQ(store.readNumber(u"Flags", 5), 5u);
  EXPECT_FALSE(store.writeNumber(u"Flags", 1));
  EXPECT_NE(::testing::internal::GetCapturedStderr().find(path), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_directory(path));
}

TEST(PortableSettingsPath, DropsOnlyAShortExtension) {
  EXPECT_EQ(PortableSettingsPath("/opt/Tarvel/Tarvel.exe"), "/opt/Tarvel/Tarvel.ini");
  EXPECT_EQ(PortableSettingsPath("/opt/t.v2/tarvel"), "/opt/t.v2/tarvel.ini");
  EXPECT_EQ(PortableSettingsPath("/opt/tarvel.program"), "/opt/tarvel.program.ini");
}

// Global settings over the registry mode.
struct GlobalSettingsTest : ::testing::Test {
  void SetUp() override {
    ASSERT_TRUE(store.open(SettingsMode::Registry, &registry, kSettingsKeyPath));
  }
  void WriteRaw(const char* name, const RegistryValue& value) {
    ASSERT_TRUE(registry.WriteValue("Software\\Quorline\\Tarvel", name, value));
  }
  GlobalSettings Loaded(DesktopTheme theme = DesktopTheme::Light) {
    GlobalSettings settings;
    settings.Load(store, theme, "/opt/tarvel/");
    return settings;
  }

  TempFolder folder;
  RegistryStore registry{folder.file("registry")};
  SettingsStore store;
};

TEST_F(GlobalSettingsTest, RefreshTimeIsMinutesOrSecondsWithBit31) {
  struct Case {
    uint64_t stored;
    uint32_t seconds;
  };
  const Case cases[] = {
      {5, 300},          {0x8000001E, 30},
      {0x8000012C, 300}, {0xFFFFFFFF00000002, 120},  // only the low half counts
      {0, 300},                                      // no interval at all would check back to back
      {0x80000000, 300},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.stored);
    ASSERT_TRUE(store.writeNumber(u"RefreshTime", row.stored));
    EXPECT_EQ(Loaded().refreshSeconds, row.seconds);
  }
}

TEST_F(GlobalSettingsTest, AFlagsDwordReadsAsItsThirtyTwoBits) {
  WriteRaw("Flags", RegistryValue::Dword(0x80));
  const GlobalSettings settings = Loaded();
  EXPECT_EQ(settings.flags, 0x80u);
  OptionFlags flags;
  settings.ApplyTo(flags);
  AccountTypeList accounts(flags, testing::ScriptedEngineFactory());
  for (MailEngine* engine = accounts.first(); engine; engine = AccountTypeList::next(engine))
    EXPECT_EQ(accounts.isEnabled(*engine), engine->typeBit == 0x2) << engine->name.ToUtf8();
  EXPECT_FALSE(flags.any(flag_bits::kTrayStyleMask | flag_bits::kPopupAnnouncements));
}

TEST_F(GlobalSettingsTest, RunTimeFlagBitsAreNotTakenFromTheStore) {
  ASSERT_TRUE(store.writeNumber(
      u"Flags", flag_bits::kRecheckRequested | flag_bits::kCustomTrayPictureIsIcon | 0x1010));
  EXPECT_EQ(Loaded().flags, 0x1010u);
}

TEST_F(GlobalSettingsTest, SignedAndThemeDependentDefaults) {
  GlobalSettings dark = Loaded(DesktopTheme::Dark);
  EXPECT_EQ(dark.textColor, 0xFFFFFFu);
  EXPECT_EQ(dark.noteColor, 0x808080u);
  EXPECT_EQ(dark.backgroundColor, 0x202020u);
  EXPECT_EQ(dark.backgroundLogoColor, 0x2D2D2Du);
  EXPECT_EQ(Loaded().backgroundColor, 0xFCFCFCu);
  EXPECT_EQ(Loaded().newMailSound, u"/opt/tarvel/PianoSmooth.wav");

  ASSERT_TRUE(store.writeNumber(u"LogitechHapticFeedback", ~uint64_t{0}));
  EXPECT_EQ(Loaded().logitechHapticFeedback, -1);
  ASSERT_TRUE(store.writeNumber(u"LogitechHapticFeedback", 3));
  EXPECT_EQ(Loaded().logitechHapticFeedback, 3);
  ASSERT_TRUE(store.writeText(u"NewMailSound", Text(u"")));
  EXPECT_EQ(Loaded().newMailSound, u"");  // stored empty: no sound, not the default
}

TEST_F(GlobalSettingsTest, ReadersThatAreAddressesMoveToTheWebsite) {
  ASSERT_TRUE(store.writeText(u"MailHandler", Text(u"HTTPS://outlook.live.com/mail")));
  ASSERT_TRUE(store.writeText(u"MailHandlerGMail", Text(u"Thunderbird")));
  ASSERT_TRUE(store.writeText(u"MailHandlerFacebook", Text(u"http://facebook.com/messages")));
  const GlobalSettings settings = Loaded();
  EXPECT_EQ(settings.hotmailWebsite, u"HTTPS://outlook.live.com/mail");
  EXPECT_EQ(settings.readers[0], u"Default Web Browser");
  EXPECT_EQ(settings.readers[2], u"Thunderbird");
  EXPECT_EQ(settings.gmailWebsite, u"");
  EXPECT_EQ(settings.facebookWebsite, u"http://facebook.com/messages");
  // In memory only.
  Text stored;
  store.readText(u"MailHandler", stored, u"");
  EXPECT_EQ(stored, u"HTTPS://outlook.live.com/mail");
}

}  // namespace
}  // namespace tarvel
