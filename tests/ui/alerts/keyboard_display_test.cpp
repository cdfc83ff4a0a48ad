#include "ui/alerts/keyboard_display.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

class RecordingTimer : public DisplayClearTimer {
 public:
  std::vector<std::string> calls;
  void Start(uint32_t milliseconds) override {
    calls.push_back("Start " + std::to_string(milliseconds));
  }
  void Stop() override { calls.push_back("Stop"); }
};

// Points the fake library's log into a temporary folder and sets its answers.
class KeyboardDisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("FAKE_LCD_LOG", folder_.file("calls").c_str(), 1);
    unsetenv("FAKE_LCD_INIT");
    unsetenv("FAKE_LCD_CONNECTED");
  }
  void TearDown() override { unsetenv("FAKE_LCD_LOG"); }

  std::vector<std::string> TakeCalls() {
    std::vector<std::string> lines;
    std::istringstream content(testing::ReadFileContent(folder_.file("calls")));
    for (std::string line; std::getline(content, line);)
      lines.push_back(line);
    testing::WriteFileContent(folder_.file("calls"), "");
    return lines;
  }

  testing::TempFolder folder_;
  RecordingTimer timer_;
};

TEST_F(KeyboardDisplayTest, ShowsTheTooltipLinesAndClearsThem) {
  KeyboardDisplay display({FAKE_LCD_LIBRARY}, timer_);
  display.Show(Text(u"2 new mails - Tarvel E-Mail Notifier\r\rAlice - Lunch\rBj\u00f6rn: Hi"), 7);
  EXPECT_EQ(TakeCalls(), (std::vector<std::string>{
                             "Init Tarvel E-Mail Notifier 3",
                             "IsConnected 3",
                             "ColorSetTitle Tarvel E-Mail Notifier 255 255 255",
                             "MonoSetText 0 2 new mails",
                             "ColorSetText 0 2 new mails 255 255 255",
                             "MonoSetText 1 ",
                             "ColorSetText 1  255 255 255",
                             // Only the first line is cut at its " - ".
                             "MonoSetText 2 Alice - Lunch",
                             "ColorSetText 2 Alice - Lunch 255 255 255",
                             "MonoSetText 3 Bj\xC3\xB6rn: Hi",
                             "ColorSetText 3 Bj\xC3\xB6rn: Hi 255 255 255",
                             "Update",
                         }));
  EXPECT_EQ(timer_.calls, (std::vector<std::string>{"Start 7000"}));

  // A second text while the display is up: no second initialisation.
  display.Show(Text(u"1 new mail - Tarvel E-Mail Notifier"), 10);
  EXPECT_EQ(TakeCalls(), (std::vector<std::string>{
                             "IsConnected 3",
                             "ColorSetTitle Tarvel E-Mail Notifier 255 255 255",
                             "MonoSetText 0 1 new mail",
                             "ColorSetText 0 1 new mail 255 255 255",
                             "Update",
                         }));

  // The clear timer: stop, shut down; the next text initialises again.
  display.Show(Text(), 10);
  EXPECT_EQ(TakeCalls(), (std::vector<std::string>{"Shutdown"}));
  EXPECT_EQ(timer_.calls, (std::vector<std::string>{"Start 7000", "Start 10000", "Stop"}));
  display.Show(Text(u"3 new mails"), 10);
  EXPECT_EQ(TakeCalls().front(), "Init Tarvel E-Mail Notifier 3");
  EXPECT_TRUE(display.enabled());
}

TEST_F(KeyboardDisplayTest, AFailureDisablesTheDisplayForTheRun) {
  struct Row {
    const char* name;
    std::string library;
    const char* initSetting;
    const char* connectedSetting;
    std::vector<std::string> calls;
  };
  const Row rows[] = {
      {"no library", folder_.file("libLogitechLcd.so"), "1", "1", {}},
      {"a function missing", FAKE_LCD_PARTIAL_LIBRARY, "1", "1", {}},
      {"initialisation fails", FAKE_LCD_LIBRARY, "0", "1", {"Init Tarvel E-Mail Notifier 3"}},
      {"no display",
       FAKE_LCD_LIBRARY,
       "1",
       "0",
       {"Init Tarvel E-Mail Notifier 3", "IsConnected 3", "Shutdown"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    setenv("FAKE_LCD_INIT", row.initSetting, 1);
    setenv("FAKE_LCD_CONNECTED", row.connectedSetting, 1);
    timer_.calls.clear();
    KeyboardDisplay display({row.library}, timer_);
    display.Show(Text(u"1 new mail - Tarvel E-Mail Notifier"), 10);
    EXPECT_EQ(TakeCalls(), row.calls);
    EXPECT_FALSE(display.enabled());
    // Later texts, and the device coming back, change nothing.
    setenv("FAKE_LCD_INIT", "1", 1);
    setenv("FAKE_LCD_CONNECTED", "1", 1);
    display.Show(Text(u"2 new mails - Tarvel E-Mail Notifier"), 10);
    display.Show(Text(), 10);
    EXPECT_EQ(TakeCalls(), std::vector<std::string>{});
    EXPECT_EQ(timer_.calls, std::vector<std::string>{});
  }
}

TEST_F(KeyboardDisplayTest, TriesTheLibraryCandidatesInOrder) {
  KeyboardDisplay display({folder_.file("libLogitechLcd.so"), FAKE_LCD_LIBRARY}, timer_);
  display.Show(Text(u"1 new mail - Tarvel E-Mail Notifier"), 10);
  EXPECT_TRUE(display.enabled());
  EXPECT_EQ(TakeCalls().back(), "Update");
}

}  // namespace
}  // namespace tarvel
