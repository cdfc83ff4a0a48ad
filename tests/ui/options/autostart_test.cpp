// Start at login: the autostart entry written and removed by the option, never in portable
// mode, and switched on by the first start of an installed copy only.
#include "ui/options/autostart.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "accounts/settings_store.h"
#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

using testing::ReadFileContent;
using testing::TempFolder;
using testing::WriteFileContent;

// An installed copy under "<temp>/prefix", its user's config folder in "<temp>/config".
class Autostart : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(folder.file("prefix/bin"));
    std::filesystem::create_directories(folder.file("prefix/share/applications"));
    ASSERT_TRUE(WriteFileContent(folder.file("prefix/share/applications/tarvel.desktop"),
                                 "[Desktop Entry]\n"));
    ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, {}, folder.file("tarvel.ini")));
  }

  std::string ProgramFolder() const { return folder.file("prefix/bin/"); }
  AutostartPlace Place(bool portable = false) const {
    return AutostartPlaceFor(folder.file("config"), ProgramFolder(), portable);
  }
  std::string EntryPath() const { return folder.file("config/autostart/tarvel.desktop"); }

  TempFolder folder;
  SettingsStore store;
};

TEST_F(Autostart, OptionWritesAndRemovesTheEntry) {
  const AutostartPlace place = Place();
  EXPECT_EQ(place.entryPath, EntryPath());
  EXPECT_FALSE(IsStartAtLoginOn(place));

  ASSERT_TRUE(SetStartAtLogin(place, true));  // the autostart folder is created
  EXPECT_TRUE(IsStartAtLoginOn(place));
  const std::string entry = ReadFileContent(EntryPath());
  EXPECT_NE(entry.find("\nExec=" + folder.file("prefix/bin/tarvel") + "\n"), std::string::npos)
      << entry;
  EXPECT_EQ(entry.rfind("[Desktop Entry]\nType=Application\n", 0), 0u) << entry;
  EXPECT_FALSE(std::filesystem::exists(EntryPath() + ".new"));

  // Writing again replaces the entry (one the desktop's own settings switched off included).
  ASSERT_TRUE(WriteFileContent(EntryPath(), "[Desktop Entry]\nHidden=true\n"));
  EXPECT_FALSE(IsStartAtLoginOn(place));
  ASSERT_TRUE(SetStartAtLogin(place, true));
  EXPECT_TRUE(IsStartAtLoginOn(place));

  ASSERT_TRUE(SetStartAtLogin(place, false));
  EXPECT_FALSE(std::filesystem::exists(EntryPath()));
  EXPECT_FALSE(IsStartAtLoginOn(place));
  EXPECT_TRUE(SetStartAtLogin(place, false));  // already off
}

TEST_F(Autostart, EntriesSwitchedOffByTheDesktopCountAsOff) {
  const AutostartPlace place = Place();
  std::filesystem::create_directories(folder.file("config/autostart"));
  const struct {
    const char* content;
    bool on;
  } cases[] = {
      {"[Desktop Entry]\nExec=tarvel\n", true},
      {"[Desktop Entry]\nHidden=true\n", false},
      {"[Desktop Entry]\nHidden = true\r\n", false},
      {"[Desktop Entry]\nHidden=false\n", true},
      {"[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n", false},
      {"[Desktop Entry]\nExec=tarvel\n[Desktop Action x]\nHidden=true\n", true},
      {"", true},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(WriteFileContent(EntryPath(), c.content));
    EXPECT_EQ(IsStartAtLoginOn(place), c.on) << c.content;
  }
}

TEST_F(Autostart, PortableModeNeverTouchesTheEntry) {
  const AutostartPlace portable = Place(true);
  EXPECT_FALSE(SetStartAtLogin(portable, true));
  EXPECT_FALSE(std::filesystem::exists(folder.file("config/autostart")));
  EXPECT_FALSE(ApplyStartAtLoginDefault(store, portable, true));
  EXPECT_FALSE(std::filesystem::exists(EntryPath()));
  EXPECT_EQ(store.readNumber(kStartAtLoginDefaultedName, 0), 0u);

  // The installed copy's entry stays when a portable copy is told to switch it off.
  ASSERT_TRUE(SetStartAtLogin(Place(), true));
  EXPECT_FALSE(SetStartAtLogin(portable, false));
  EXPECT_TRUE(std::filesystem::exists(EntryPath()));
}

TEST_F(Autostart, FirstStartOfAnInstalledCopySwitchesItOnOnce) {
  const AutostartPlace place = Place();
  EXPECT_TRUE(ApplyStartAtLoginDefault(store, place, true));
  EXPECT_TRUE(IsStartAtLoginOn(place));
  EXPECT_EQ(store.readNumber(kStartAtLoginDefaultedName, 0), 1u);

  // The user switches it off; the next start leaves that choice alone.
  ASSERT_TRUE(SetStartAtLogin(place, false));
  EXPECT_FALSE(ApplyStartAtLoginDefault(store, place, true));
  EXPECT_FALSE(std::filesystem::exists(EntryPath()));
}

TEST_F(Autostart, ACopyThatIsNotInstalledLeavesTheDefaultForTheInstalledOne) {
  const AutostartPlace place = Place();
  EXPECT_FALSE(ApplyStartAtLoginDefault(store, place, false));
  EXPECT_FALSE(std::filesystem::exists(EntryPath()));
  EXPECT_EQ(store.readNumber(kStartAtLoginDefaultedName, 0), 0u);
  EXPECT_TRUE(ApplyStartAtLoginDefault(store, place, true));
}

TEST_F(Autostart, UnwritableConfigFolderReportsFailure) {
  ASSERT_TRUE(WriteFileContent(folder.file("config"), "a file, not a folder"));
  EXPECT_FALSE(SetStartAtLogin(Place(), true));
  EXPECT_FALSE(IsStartAtLoginOn(Place()));
  // No config folder known at all.
  EXPECT_FALSE(SetStartAtLogin(AutostartPlaceFor("", ProgramFolder(), false), true));
}

TEST_F(Autostart, RecognisesAnInstalledCopyByItsPrefix) {
  std::filesystem::create_directories(folder.file("build/bin"));
  std::filesystem::create_directories(folder.file("portable"));
  ASSERT_TRUE(WriteFileContent(folder.file("portable/tarvel.desktop"), "[Desktop Entry]\n"));
  const struct {
    std::string programFolder;
    bool installed;
  } cases[] = {
      {folder.file("prefix/bin/"), true},
      {folder.file("prefix/bin"), true},
      {folder.file("build/bin/"), false},  // a build tree: no desktop entry in its prefix
      {folder.file("portable/"), false},   // a folder of its own, not <prefix>/bin
      {"", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(IsInstalledCopy(c.programFolder), c.installed) << c.programFolder;
}

TEST(AutostartExec, QuotesAndEscapesTheProgramPath) {
  const struct {
    const char* path;
    const char* exec;
  } cases[] = {
      {"/usr/bin/tarvel", "/usr/bin/tarvel"},
      {"/opt/My Mail/bin/tarvel", "\"/opt/My Mail/bin/tarvel\""},
      {"/opt/100%/bin/tarvel", "/opt/100%%/bin/tarvel"},
      {"/home/a$b/bin/tarvel", "\"/home/a\\\\$b/bin/tarvel\""},
      {"/home/a\"b\\c/tarvel", "\"/home/a\\\\\"b\\\\\\\\c/tarvel\""},
      {"/home/a`b/tarvel", "\"/home/a\\\\`b/tarvel\""},
      {"relative/tarvel", ""},
      {"/home/a\nExec=evil/tarvel", ""},
      {"", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(AutostartExecValue(c.path), c.exec) << c.path;
  EXPECT_EQ(AutostartEntryText("relative/tarvel"), "");
}

}  // namespace
}  // namespace tarvel
