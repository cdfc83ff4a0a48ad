// Reader launch on a desktop of our own: desktop entries and MIME-apps lists in temporary
// XDG folders, fake programs that record their arguments, the real xdg-open in between.
#include "ui/readers/reader_launch.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "accounts/account_type_list.h"
#include "accounts/option_flags.h"
#include "tests/support/scripted_engine.h"
#include "tests/ui/readers/fake_desktop.h"
#include "ui/readers/browser_tab_activator.h"

namespace tarvel {
namespace {

using testing::FakeDesktop;
using Scope = FakeDesktop::Scope;
using Strings = std::vector<std::string>;

constexpr uint32_t kGMail = 0x2;
constexpr uint32_t kYahoo = 0x4;

// Waits, with the event loop running, until the program has run `count` times (at most
// 20 s: a loaded machine may be slow to start a shell script, never this slow).
std::vector<Strings> WaitForRuns(const FakeDesktop& desktop, const std::string& program,
                                 std::size_t count) {
  QElapsedTimer clock;
  clock.start();
  std::vector<Strings> runs = desktop.Runs(program);
  while (runs.size() < count && clock.elapsed() < 20'000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    runs = desktop.Runs(program);
  }
  return runs;
}

class ReaderLaunch : public ::testing::Test {
 protected:
  void SetUp() override {
    desktop.UseAsEnvironment();
    desktop.AddRecordingProgram("fake-browser");
    desktop.AddRecordingProgram("fake-mail");
    desktop.AddApplication(Scope::System, "fake-browser.desktop", "Fake Browser",
                           "fake-browser --new-tab %u",
                           "x-scheme-handler/http;x-scheme-handler/https;");
    desktop.AddApplication(Scope::User, "fake-mail.desktop", "Fake Mail",
                           "fake-mail \"--open mailbox\" %U %f", "x-scheme-handler/mailto;");
    desktop.WriteConfigMimeApps(
        "[Default Applications]\n"
        "x-scheme-handler/http=fake-browser.desktop\n"
        "x-scheme-handler/https=fake-browser.desktop\n"
        "x-scheme-handler/mailto=fake-mail.desktop\n");
    gmail().website = u"https://mail.google.com/mail/";
  }

  MailEngine& gmail() { return testing::Scripted(accounts, kGMail); }

  FakeDesktop desktop;
  OptionFlags flags;
  AccountTypeList accounts{flags, testing::ScriptedEngineFactory()};
  DesktopReaderLauncher launcher;
};

TEST_F(ReaderLaunch, WebsitesGoThroughTheUrlHandlerToTheDefaultBrowser) {
  gmail().reader = u"Default Web Browser";
  EXPECT_TRUE(gmail().OpenReader(launcher));
  EXPECT_EQ(WaitForRuns(desktop, "fake-browser", 1),
            (std::vector<Strings>{{"--new-tab", "https://mail.google.com/mail/"}}));

  // A reader that is an address opens that address, not the website.
  gmail().reader = u"https://mail.example.org/inbox";
  EXPECT_TRUE(gmail().OpenReader(launcher));
  const std::vector<Strings> runs = WaitForRuns(desktop, "fake-browser", 2);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[1], (Strings{"--new-tab", "https://mail.example.org/inbox"}));
}

TEST_F(ReaderLaunch, NamedProgramsAndCommandsGetTheWebsite) {
  const std::string spaced = desktop.programFolder() + "/My Mail";
  std::filesystem::create_directories(spaced);
  std::filesystem::create_symlink(desktop.programFolder() + "/fake-mail", spaced + "/mail");

  struct Case {
    std::u16string reader;
    Strings arguments;
  };
  const std::string site = "https://mail.google.com/mail/";
  const Case cases[] = {
      {u"Fake Mail", {"--open mailbox", site}},
      {u"Default E-Mail Reader", {"--open mailbox", site}},
      // Unquoted, with spaces in the path: the path is found by trying its parts.
      {u"@" + Text::FromUtf8(spaced).units() + u"/mail %1", {site}},
      {u"@\"" + Text::FromUtf8(spaced).units() + u"/mail\" -compose \"two words\" %1",
       {"-compose", "two words", site}},
  };
  std::size_t count = 0;
  for (const Case& row : cases) {
    SCOPED_TRACE(Text(row.reader).ToUtf8());
    gmail().reader = Text(row.reader);
    EXPECT_TRUE(gmail().OpenReader(launcher));
    const std::vector<Strings> runs = WaitForRuns(desktop, "fake-mail", ++count);
    ASSERT_EQ(runs.size(), count);
    EXPECT_EQ(runs.back(), row.arguments);
  }
  EXPECT_TRUE(desktop.Runs("fake-browser").empty());
}

// Two readers open one second apart while the event loop goes on (the tray menu stays
// responsive meanwhile).
TEST_F(ReaderLaunch, TwoReadersOneSecondApartWithoutBlocking) {
  testing::Scripted(accounts, kYahoo).reader = u"@fake-mail --yahoo %1";
  testing::Scripted(accounts, kYahoo).website = u"https://mail.yahoo.com/";
  gmail().reader = u"@fake-mail --gmail %1";
  QElapsedTimer clock;
  std::vector<qint64> startedAt;
  DesktopReaderLauncher::Actions actions;
  actions.startProgram = [&](const std::string& program, const Strings& arguments) {
    startedAt.push_back(clock.elapsed());
    return StartReaderProgram(program, arguments);
  };
  DesktopReaderLauncher pacedLauncher(actions);
  DesktopReaders readers([this] { return &accounts; }, pacedLauncher);

  int ticks = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(50);
  clock.start();
  readers.OpenReaders(kYahoo | kGMail);
  // The first reader is started at once; the call returns without waiting for the second.
  EXPECT_EQ(startedAt.size(), 1u);
  EXPECT_TRUE(readers.waiting());
  const int ticksAtCall = ticks;
  std::vector<Strings> runs = WaitForRuns(desktop, "fake-mail", 2);
  ASSERT_EQ(runs.size(), 2u);
  // List order: GMail comes before Yahoo.
  EXPECT_EQ(runs[0], (Strings{"--gmail", "https://mail.google.com/mail/"}));
  EXPECT_EQ(runs[1], (Strings{"--yahoo", "https://mail.yahoo.com/"}));
  // The event loop ran during the pause, and a precise timer never fires early, so this
  // lower bound holds on any machine.
  EXPECT_GT(ticks, ticksAtCall);
  ASSERT_EQ(startedAt.size(), 2u);
  EXPECT_GE(startedAt[1] - startedAt[0], 1000);
  EXPECT_FALSE(readers.waiting());
}

// No accessibility bus in this session: a browser reader starts the browser, and the tab
// lookup gives up at once instead of waiting on a bus that is not there.
TEST_F(ReaderLaunch, WithoutAccessibilityBusTheBrowserStarts) {
  ASSERT_FALSE(AccessibilityBusPresent());
  desktop.AddRecordingProgram("firefox");
  desktop.AddApplication(Scope::System, "firefox.desktop", "Firefox", "firefox %u",
                         "x-scheme-handler/http;");
  gmail().reader = u"Firefox";
  QElapsedTimer clock;
  clock.start();
  EXPECT_FALSE(ActivateBrowserTab(BrowserKind::Firefox, u" - Gmail"));
  // The fault this catches is a wait for a bus to be started (D-Bus waits 25 s for that).
  EXPECT_LT(clock.elapsed(), 5000);
  EXPECT_TRUE(gmail().OpenReader(launcher));
  EXPECT_EQ(WaitForRuns(desktop, "firefox", 1),
            (std::vector<Strings>{{"https://mail.google.com/mail/"}}));
}

}  // namespace
}  // namespace tarvel

int main(int argc, char** argv) {
  // No session bus of the machine's own: these tests decide which buses exist.
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  ::unsetenv("AT_SPI_BUS_ADDRESS");
  ::setenv("DISPLAY", ":tarvel-no-display", 1);  // lets xdg-open use the desktop entries
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
