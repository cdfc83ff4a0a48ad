// The tray services inside a running application: the hand-over of a check's results to the
// GUI thread, the alternation timer, clicks and menu commands.
#include "ui/tray/tray_services.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMenu>

#include <filesystem>
#include <thread>

#include "app/application_settings.h"
#include "app/window_messages.h"
#include "desktop/application.h"
#include "maintenance/trace_log.h"
#include "tests/support/fake_clock.h"
#include "tests/support/recording_notifier.h"
#include "tests/support/scripted_engine.h"

namespace tarvel {
namespace {

class MemoryRecord : public InstanceRecord {
 public:
  std::string Read() override { return value; }
  void Write(const std::string& socketName) override { value = socketName; }
  std::string value;
};

class FixedSettings : public ApplicationSettings {
 public:
  explicit FixedSettings(uint64_t flags) : flags_(flags) {}
  void Open(bool) override {}
  void LoadGlobals(OptionFlags& flags, CheckCycle&, AccountTypeList&, bool) override {
    flags.store(flags_);
  }
  void SaveFlags(uint64_t) override {}
  InstanceRecord& instanceRecord() override { return record_; }

 private:
  uint64_t flags_;
  MemoryRecord record_;
};

// What the tray passes on: only the readers matter here.
class ReaderLog : public DesktopServices {
 public:
  void PrepareProblemReports() override {}
  void AddTrayIcon() override {}
  void RemoveTrayIcon() override {}
  void RestoreCookies(AccountTypeList&) override {}
  void StartUpdateCheck(bool) override {}
  void OpenOptions() override {}
  void CloseOptions() override {}
  void OpenMailList() override {}
  void CloseMailList() override {}
  void ClosePopup() override {}
  void ShowNewMailPopup() override {}
  void OnTrayCallback(uintptr_t, intptr_t) override {}
  void AlternateTrayIcon() override {}
  intptr_t OnNotesRequest(uintptr_t, intptr_t) override { return 0; }
  void OpenReaders(uint32_t typeMask) override { opened.push_back(typeMask); }
  std::vector<uint32_t> opened;
};

bool ProcessEventsUntil(const std::function<bool()>& condition) {
  QElapsedTimer elapsed;
  elapsed.start();
  while (!condition() && elapsed.elapsed() < 10'000)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  return condition();
}

// GMail and IMAP #1 enabled on the default option word.
constexpr uint64_t kFlags = flag_bits::kDefault | 0x80 | 0x1000000;

struct TrayFixture {
  explicit TrayFixture(const std::string& tracePath, uint32_t alternatingMs = 0)
      : settings(kFlags),
        trace(tracePath),
        tray(readers, clock,
             [alternatingMs] {
               TraySettings values;
               values.alternatingShellIcon = alternatingMs;
               values.soundConfigured = true;
               return values;
             }),
        notifier(tray),
        application(ApplicationParts{settings, tray, notifier, login, clock, trace,
                                     testing::ScriptedEngineFactory()},
                    {}) {
    tray.Attach(application);
  }

  FixedSettings settings;
  testing::FakeClock clock;
  testing::FakeLoginRunner login;
  TraceLog trace;
  ReaderLog readers;
  TrayServices tray;
  TrayCheckNotifier notifier;
  Application application;
};

class TrayServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("tarvel-tray-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_ / "runtime");
    std::filesystem::permissions(folder_ / "runtime", std::filesystem::perms::owner_all);
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString((folder_ / "runtime").string()));
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  std::string TracePath() const { return (folder_ / "trace.log").string(); }

  std::filesystem::path folder_;
};

TEST_F(TrayServicesTest, ACheckThreadsResultsChangeTheTrayOnlyOnTheGuiThread) {
  TrayFixture fixture(TracePath());
  ASSERT_EQ(fixture.application.OnCreate(), 0);
  ASSERT_TRUE(fixture.application.accounts().checkThread().waitFinished(10'000));
  ASSERT_TRUE(ProcessEventsUntil(
      [&] { return fixture.tray.composition().primary == TrayPicture::Icon(116); }));

  std::thread check([&] { fixture.tray.UpdateTray(3, u"Ann - Hello", CheckStatus::Success); });
  check.join();
  // Nothing changed yet: the results wait for the GUI thread.
  EXPECT_EQ(fixture.tray.composition().digitForm, TrayDigitForm::None);
  ASSERT_TRUE(ProcessEventsUntil(
      [&] { return fixture.tray.composition().digitForm == TrayDigitForm::Plain; }));
  EXPECT_EQ(fixture.tray.composition().digit, 3u);
  EXPECT_EQ(fixture.tray.composition().primary, TrayPicture::Icon(115));
  EXPECT_FALSE(fixture.application.mainWindow().isTimerActive(kTimerTrayAlternation));
  fixture.application.Close();
}

TEST_F(TrayServicesTest, AlternationRunsOnlyWhileThereIsAnAlternate) {
  TrayFixture fixture(TracePath(), 500);
  ASSERT_EQ(fixture.application.OnCreate(), 0);
  ASSERT_TRUE(fixture.application.accounts().checkThread().waitFinished(10'000));
  QtMainWindow& window = fixture.application.mainWindow();

  fixture.tray.UpdateTray(12, u"", CheckStatus::Success);
  ASSERT_TRUE(ProcessEventsUntil([&] { return window.isTimerActive(kTimerTrayAlternation); }));
  EXPECT_EQ(fixture.tray.composition().alternate, TrayPicture::Icon(229));
  const bool phase = fixture.tray.showingAlternate();
  fixture.application.OnTimer(kTimerTrayAlternation);
  EXPECT_NE(fixture.tray.showingAlternate(), phase);
  fixture.application.OnTimer(kTimerTrayAlternation);
  EXPECT_EQ(fixture.tray.showingAlternate(), phase);

  // A failed check has no alternate: the timer stops and the primary picture shows.
  fixture.tray.UpdateTray(12, u"", CheckStatus::Failure);
  ASSERT_TRUE(ProcessEventsUntil([&] { return !window.isTimerActive(kTimerTrayAlternation); }));
  EXPECT_EQ(fixture.tray.composition().primary, TrayPicture::Icon(141));
  EXPECT_FALSE(fixture.tray.showingAlternate());
  fixture.application.Close();
}

TEST_F(TrayServicesTest, ClicksOpenReadersOnceAndCheckSoon) {
  TrayFixture fixture(TracePath());
  ASSERT_EQ(fixture.application.OnCreate(), 0);
  ASSERT_TRUE(fixture.application.accounts().checkThread().waitFinished(10'000));
  ASSERT_TRUE(ProcessEventsUntil(
      [&] { return fixture.application.mainWindow().isTimerActive(kTimerCheck); }));
  int stops = 0;
  fixture.tray.setStopSound([&] { ++stops; });
  QtMainWindow& window = fixture.application.mainWindow();
  window.KillTimer(kTimerCheck);

  // The left click's press and the double click of the same gesture open the readers once:
  // no mail, so every enabled type.
  window.PostMessage(kMsgTrayCallback, 1, 0x201);
  window.PostMessage(kMsgTrayCallback, 1, 0x203);
  ASSERT_TRUE(ProcessEventsUntil([&] { return window.isTimerActive(kTimerCheck); }));
  QCoreApplication::processEvents();
  EXPECT_EQ(fixture.readers.opened, (std::vector<uint32_t>{0x2 | 0x8000}));
  EXPECT_EQ(stops, 0);  // nothing plays without unread mail

  // Later, a balloon click opens the types with new mail (none) and stops the sound.
  fixture.clock.advance(5000);
  window.PostMessage(kMsgTrayCallback, 1, 0x405);
  ASSERT_TRUE(ProcessEventsUntil([&] { return fixture.readers.opened.size() == 2; }));
  EXPECT_EQ(fixture.readers.opened[1], 0u);
  EXPECT_EQ(stops, 1);
  fixture.application.Close();
}

TEST_F(TrayServicesTest, MenuCommandsGoThroughTheMainWindowAndTheMenuFollowsTheSilence) {
  TrayFixture fixture(TracePath());
  ASSERT_EQ(fixture.application.OnCreate(), 0);
  QMenu* menu = fixture.tray.menu();
  ASSERT_NE(menu, nullptr);
  QAction* silence = nullptr;
  QAction* fiveMinutes = nullptr;
  QAction* imap = nullptr;
  for (QAction* action : menu->actions()) {
    if (action->text() == "Silence")
      silence = action;
    if (action->text() == "IMAP #1")
      imap = action;
  }
  ASSERT_NE(silence, nullptr);
  ASSERT_NE(imap, nullptr);
  // IMAP #1 comes before GMail in the menu, so GMail is the default item.
  EXPECT_EQ(menu->actions().indexOf(imap), 0);
  EXPECT_EQ(menu->defaultAction(), menu->actions().value(1));
  for (QAction* action : silence->menu()->actions()) {
    if (action->text() == "For 5 Minutes")
      fiveMinutes = action;
  }
  ASSERT_NE(fiveMinutes, nullptr);

  fiveMinutes->trigger();
  EXPECT_EQ(fixture.application.cycle().silenceMinutes(), -1);  // posted, not yet handled
  ASSERT_TRUE(
      ProcessEventsUntil([&] { return fixture.application.cycle().silenceMinutes() == 5; }));
  emit menu->aboutToShow();
  QStringList texts;
  for (QAction* action : menu->actions())
    texts << action->text();
  EXPECT_TRUE(texts.contains("Silence - For 5 Minutes")) << texts.join("|").toStdString();

  imap = nullptr;
  for (QAction* action : menu->actions()) {
    if (action->text() == "IMAP #1")
      imap = action;
  }
  ASSERT_NE(imap, nullptr);
  imap->trigger();
  ASSERT_TRUE(ProcessEventsUntil([&] { return !fixture.readers.opened.empty(); }));
  EXPECT_EQ(fixture.readers.opened, (std::vector<uint32_t>{0x8000}));
  fixture.application.Close();
}

}  // namespace
}  // namespace tarvel
