// Start at login: the autostart entry written (in one step) and removed by the option, never in
// portable mode, and never switched on by the program by itself.
#include "ui/options/autostart.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/dovecot_server.h"
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
  }

  std::string ProgramFolder() const { return folder.file("prefix/bin/"); }
  AutostartPlace Place(bool portable = false) const {
    return AutostartPlaceFor(folder.file("config"), ProgramFolder(), portable);
  }
  std::string EntryPath() const { return folder.file("config/autostart/tarvel.desktop"); }

  TempFolder folder;
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
      // What cannot be read as a desktop entry is not started by the session: off.
      {"", false},
      {"Exec=tarvel\n", false},
      {"\x7f"
       "ELF\x02\x01",
       false},
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

  // The installed copy's entry stays when a portable copy is told to switch it off.
  ASSERT_TRUE(SetStartAtLogin(Place(), true));
  EXPECT_FALSE(SetStartAtLogin(portable, false));
  EXPECT_TRUE(std::filesystem::exists(EntryPath()));
}

TEST_F(Autostart, TheEntryIsReplacedInOneStepAndValidates) {
  const AutostartPlace place = Place();
  ASSERT_TRUE(SetStartAtLogin(place, true));
  // An entry the session cannot read (a directory in its place) is replaced only whole: the
  // write fails and leaves nothing half-written behind.
  ASSERT_TRUE(SetStartAtLogin(place, false));
  std::filesystem::create_directories(EntryPath() + "/inside");
  EXPECT_FALSE(SetStartAtLogin(place, true));
  EXPECT_FALSE(IsStartAtLoginOn(place));
  std::filesystem::remove_all(EntryPath());
  ASSERT_TRUE(SetStartAtLogin(place, true));
  ASSERT_TRUE(SetStartAtLogin(place, true));
  // Only the entry is left in the folder: no temporary file of the replacement.
  std::vector<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(folder.file("config/autostart")))
    names.push_back(item.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"tarvel.desktop"});
  const auto permissions = std::filesystem::status(EntryPath()).permissions();
  EXPECT_EQ(permissions & std::filesystem::perms::others_write, std::filesystem::perms::none);
  // The desktop's own validator accepts it.
  if (std::filesystem::exists("/usr/bin/desktop-file-validate")) {
    EXPECT_EQ(testing::RunProgram({"/usr/bin/desktop-file-validate", EntryPath()}), 0)
        << ReadFileContent(EntryPath());
  }
}

TEST_F(Autostart, UnwritableConfigFolderReportsFailure) {
  ASSERT_TRUE(WriteFileContent(folder.file("config"), "a file, not a folder"));
  EXPECT_FALSE(SetStartAtLogin(Place(), true));
  EXPECT_FALSE(IsStartAtLoginOn(Place()));
  // No config folder known at all.
  EXPECT_FALSE(SetStartAtLogin(AutostartPlaceFor("", ProgramFolder(), false), true));
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
