#include "ui/readers/browser_tabs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "accounts/account_type_list.h"
#include "accounts/option_flags.h"
#include "tests/support/scripted_engine.h"
#include "ui/readers/reader_sequence.h"

namespace tarvel {
namespace {

TEST(BrowserTabs, KindByProgramName) {
  struct Case {
    const char* program;
    const char16_t* reader;
    BrowserKind kind;
  };
  const Case cases[] = {
      {"/usr/bin/google-chrome-stable", u"Google Chrome", BrowserKind::Chrome},
      {"chromium", u"Chromium", BrowserKind::Chrome},
      {"/usr/lib/firefox-esr/firefox-esr", u"Firefox ESR", BrowserKind::Firefox},
      {"/usr/bin/opera", u"Opera", BrowserKind::Opera},
      {"/usr/bin/microsoft-edge-stable", u"Edge", BrowserKind::Edge},
      {"/opt/edge/launcher", u"Microsoft Edge Beta", BrowserKind::Edge},
      // The folder does not count, only the program's own name.
      {"/opt/firefox/thunderbird", u"Thunderbird", BrowserKind::None},
      {"evolution", u"Evolution", BrowserKind::None},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.program);
    EXPECT_EQ(BrowserKindFromProgram(row.program, Text(row.reader)), row.kind);
  }
  EXPECT_TRUE(IsBrowserApplication(BrowserKind::Firefox, "Firefox", "firefox-esr"));
  EXPECT_TRUE(IsBrowserApplication(BrowserKind::Chrome, "", "chromium"));
  EXPECT_FALSE(IsBrowserApplication(BrowserKind::Chrome, "Firefox", "firefox-esr"));
  EXPECT_FALSE(IsBrowserApplication(BrowserKind::None, "Firefox", "firefox"));
}

TEST(BrowserTabs, TitleTextByAccountType) {
  struct Case {
    const char* name;
    TabTitleSource source;
    const char16_t* expected;  // null: no tab to look for
  };
  const Case cases[] = {
      {"gmail with address", {0x2, u"user@example.org", u"", u""}, u"user@example.org"},
      {"gmail without", {0x2, u"", u"", u""}, u" - Gmail"},
      {"yahoo", {0x4, u"", u"", u""}, u" - Yahoo Mail"},
      {"facebook", {0x80, u"", u"", u""}, u"Facebook"},
      {"twitter", {0x100, u"", u"", u""}, u"Twitter"},
      {"linkedin", {0x400, u"", u"", u""}, u" LinkedIn"},
      {"outlook", {0x1, u"", u"", u""}, u" - Outlook"},
      {"imap outlook", {0x8000, u"", u"outlook.office365.com", u"a"}, nullptr},
      {"imap outlook host", {0x8000, u"", u"imap-mail.outlook.com", u"a"}, u" - Outlook"},
      {"imap gmail", {0x20000, u"", u"imap.GMAIL.com", u"me@gmail.com"}, u"me@gmail.com"},
      {"imap gmail no user", {0x20000, u"", u"imap.gmail.com", u""}, nullptr},
      {"imap yahoo", {0x40000, u"", u"imap.mail.yahoo.com", u"a"}, u" - Yahoo Mail"},
      {"imap other", {0x8000, u"", u"imap.example.org", u"a"}, nullptr},
      {"exchange", {0x100000, u"", u"", u""}, nullptr},
      {"zoho", {0x8, u"", u"", u""}, nullptr},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    const std::optional<Text> title = TabTitleText(row.source);
    if (row.expected)
      EXPECT_EQ(title.value_or(Text(u"<none>")), std::u16string_view(row.expected));
    else
      EXPECT_FALSE(title);
  }
}

TEST(BrowserTabs, TabNamesWithDashLookAlikes) {
  EXPECT_TRUE(TabNameMatches(u"Inbox (3) - user@example.org - Gmail", u" - Gmail"));
  EXPECT_TRUE(TabNameMatches(u"Inbox \u2013 Gmail", u" - Gmail"));
  EXPECT_TRUE(TabNameMatches(u"Inbox \u0096 Gmail", u" - Gmail"));
  EXPECT_FALSE(TabNameMatches(u"Inbox - gmail", u" - Gmail"));  // letter case counts
  EXPECT_FALSE(TabNameMatches(u"Gmail", u" - Gmail"));
}

// The readers of several types open in list order, the second only after the pause.
TEST(ReaderSequence, OpensInListOrderOnePauseApart) {
  OptionFlags flags;
  AccountTypeList accounts(flags, testing::ScriptedEngineFactory());
  std::vector<uint32_t> opened;
  std::vector<uint32_t> pauses;
  std::vector<std::function<void()>> pending;
  ReaderSequence sequence(
      [&](uint32_t milliseconds, std::function<void()> then) {
        pauses.push_back(milliseconds);
        pending.push_back(std::move(then));
      },
      [&](uint32_t typeBit) { opened.push_back(typeBit); });
  const auto runPause = [&] {
    ASSERT_FALSE(pending.empty());
    std::function<void()> next = std::move(pending.front());
    pending.erase(pending.begin());
    next();
  };

  // The list puts Outlook.com Alternative (0x1000) second, GMail (0x2) third, EWS last.
  sequence.OpenReaders(accounts, 0x100000 | 0x2 | 0x1000);
  EXPECT_EQ(opened, (std::vector<uint32_t>{0x1000}));
  EXPECT_TRUE(sequence.waiting());
  // Asked for again while waiting: joins the queue once.
  sequence.OpenReaders(accounts, 0x2 | 0x8000);
  runPause();
  EXPECT_EQ(opened, (std::vector<uint32_t>{0x1000, 0x2}));
  runPause();
  runPause();
  EXPECT_EQ(opened, (std::vector<uint32_t>{0x1000, 0x2, 0x100000, 0x8000}));
  EXPECT_EQ(pauses, (std::vector<uint32_t>{kReaderPauseMs, kReaderPauseMs, kReaderPauseMs}));
  EXPECT_TRUE(pending.empty());
  EXPECT_FALSE(sequence.waiting());

  // A single reader opens at once and leaves no pause behind it.
  sequence.OpenReaders(accounts, 0x4);
  sequence.OpenReaders(accounts, 0x8);
  EXPECT_EQ(opened.back(), 0x8u);
  EXPECT_EQ(pauses.size(), 3u);
  // Types outside the list open nothing.
  sequence.OpenReaders(accounts, 0x80000000u);
  EXPECT_EQ(opened.size(), 6u);
}

}  // namespace
}  // namespace tarvel
