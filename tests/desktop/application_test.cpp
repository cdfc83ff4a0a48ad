#include "desktop/application.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <filesystem>
#include <map>

#include "app/application_settings.h"
#include "app/desktop_services.h"
#include "app/window_messages.h"
#include "maintenance/trace_log.h"
#include "tests/support/fake_clock.h"
#include "tests/support/recording_notifier.h"
#include "tests/support/scripted_engine.h"

namespace tarvel {
namespace {

using testing::FakeClock;
using testing::FakeLoginRunner;
using testing::RecordingNotifier;
using testing::Scripted;
using testing::ScriptedEngineFactory;

// One journal of everything the application asks of the settings and the services.
using Journal = std::vector<std::string>;

class MemoryRecord : public InstanceRecord {
 public:
  std::string Read() override { return value; }
  void Write(const std::string& socketName) override { value = socketName; }
  std::string value;
};

class FakeSettings : public ApplicationSettings {
 public:
  FakeSettings(Journal& journal, MemoryRecord& record, uint64_t flags)
      : journal_(journal), record_(record), storedFlags(flags) {}
  void Open(bool portable) override { journal_.push_back(portable ? "open portable" : "open"); }
  void LoadGlobals(OptionFlags& flags, CheckCycle&, AccountTypeList&, bool) override {
    journal_.push_back("load settings");
    flags.store(storedFlags);
  }
  void SaveFlags(uint64_t flags) override {
    journal_.push_back("save flags");
    storedFlags = flags;
  }
  InstanceRecord& instanceRecord() override { return record_; }

 private:
  Journal& journal_;
  MemoryRecord& record_;

 public:
  uint64_t storedFlags;
};

class RecordingServices : public DesktopServices {
 public:
  explicit RecordingServices(Journal& journal) : journal_(journal) {}
  void PrepareProblemReports() override { journal_.push_back("problem reports"); }
  void AddTrayIcon() override { journal_.push_back("add tray icon"); }
  void RemoveTrayIcon() override { journal_.push_back("remove tray icon"); }
  void RestoreCookies(AccountTypeList&) override { journal_.push_back("restore cookies"); }
  void StartUpdateCheck(bool portable) override {
    journal_.push_back(portable ? "update check portable" : "update check");
  }
  void OpenOptions() override { journal_.push_back("open options"); }
  void CloseOptions() override { journal_.push_back("close options"); }
  void OpenMailList() override { journal_.push_back("open mail list"); }
  void CloseMailList() override { journal_.push_back("close mail list"); }
  void ClosePopup() override { journal_.push_back("close popup"); }
  void ShowNewMailPopup() override {}
  void OnTrayCallback(uintptr_t, intptr_t) override {}
  void AlternateTrayIcon() override { journal_.push_back("alternate tray icon"); }
  intptr_t OnNotesRequest(uintptr_t, intptr_t) override { return 0; }
  void OpenReaders(uint32_t typeMask) override {
    journal_.push_back("open readers " + std::to_string(typeMask));
  }

 private:
  Journal& journal_;
};

// One application with its fakes.
struct Instance {
  Instance(const std::vector<std::string>& arguments, uint64_t flags, MemoryRecord& record,
           const std::string& tracePath)
      : settings(journal, record, flags),
        services(journal),
        trace(tracePath),
        application(ApplicationParts{settings, services, notifier, login, clock, trace,
                                     ScriptedEngineFactory()},
                    arguments) {}

  Journal journal;
  FakeSettings settings;
  RecordingServices services;
  RecordingNotifier notifier;
  FakeLoginRunner login;
  FakeClock clock;
  TraceLog trace;
  Application application;
};

class ApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("tarvel-app-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_ / "runtime");
    std::filesystem::permissions(folder_ / "runtime", std::filesystem::perms::owner_all);
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString((folder_ / "runtime").string()));
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string tracePath(const std::string& name) { return (folder_ / name).string(); }

  // Runs the event loop until the condition holds or a generous limit passes.
  static bool ProcessEventsUntil(const std::function<bool()>& condition) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (!condition() && elapsed.elapsed() < 10'000) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return condition();
  }

  std::filesystem::path folder_;
};

TEST_F(ApplicationTest, StartsUpInOrderAndRunsTheFirstCheck) {
  MemoryRecord record;
  Instance instance({}, flag_bits::kDefault | flag_bits::kShowMailListWindow, record,
                    tracePath("trace.log"));
  ASSERT_EQ(instance.application.OnCreate(), 0);
  EXPECT_EQ(instance.journal,
            (Journal{"problem reports", "open", "load settings", "add tray icon", "restore cookies",
                     "update check", "open options", "open mail list"}));
  EXPECT_FALSE(record.value.empty());  // the socket name for a second start
  EXPECT_EQ(instance.application.mainWindow().isTimerActive(kTimerSilence), true);
  // The first (empty) check ran: no account is enabled, so it sets the timer at once.
  ASSERT_TRUE(ProcessEventsUntil(
      [&] { return instance.application.mainWindow().isTimerActive(kTimerCheck); }));
  instance.application.Close();
}

TEST_F(ApplicationTest, SecondStartAsksTheFirstForItsOptionsAndEnds) {
  MemoryRecord record;
  Instance first({}, flag_bits::kDefault | 0x80, record, tracePath("first.log"));
  ASSERT_EQ(first.application.OnCreate(), 0);
  Instance second({}, flag_bits::kDefault, record, tracePath("second.log"));
  EXPECT_EQ(second.application.OnCreate(), -1);
  EXPECT_EQ(second.journal, (Journal{"problem reports", "open"}));
  ASSERT_TRUE(ProcessEventsUntil(
      [&] { return std::count(first.journal.begin(), first.journal.end(), "open options") == 1; }));

  // A portable instance has a name of its own and runs beside the first.
  MemoryRecord portableRecord;
  Instance portable({"-p"}, flag_bits::kDefault, portableRecord, tracePath("portable.log"));
  EXPECT_EQ(portable.application.OnCreate(), 0);
  EXPECT_EQ(portable.journal[1], "open portable");
  EXPECT_EQ(portable.journal[5], "update check portable");
  portable.application.Close();
  first.application.Close();
  EXPECT_TRUE(record.value.empty());  // cleared by the instance that wrote it
}

TEST_F(ApplicationTest, SecondStartWithADeadSocketEndsQuietly) {
  MemoryRecord record;
  Instance first({}, flag_bits::kDefault, record, tracePath("first.log"));
  ASSERT_EQ(first.application.OnCreate(), 0);
  record.value = (folder_ / "runtime" / "no-such-socket").string();
  Instance second({}, flag_bits::kDefault, record, tracePath("second.log"));
  EXPECT_EQ(second.application.OnCreate(), -1);
  first.application.Close();
}

TEST_F(ApplicationTest, ExitDuringACheckWaitsForItAndSavesFlagsWithoutTheRunTimeBit) {
  MemoryRecord record;
  Instance instance({}, flag_bits::kDefault | 0x80, record, tracePath("trace.log"));
  ASSERT_EQ(instance.application.OnCreate(), 0);
  testing::ScriptedEngine& gmail = Scripted(instance.application.accounts(), 0x2);
  // The first check already runs without a gate; let it end, then hold the next one.
  ASSERT_TRUE(instance.application.accounts().checkThread().waitFinished(10'000));
  gmail.useGate();
  instance.application.OnCommand(40004);  // check now
  ASSERT_FALSE(instance.application.accounts().checkThread().isFinished());
  instance.application.flags().set(flag_bits::kCustomTrayPictureIsIcon);
  QTimer::singleShot(50, [&gmail] { gmail.allowCheck(); });
  instance.journal.clear();

  instance.application.Close();
  EXPECT_TRUE(instance.application.accounts().checkThread().isFinished());
  EXPECT_EQ(gmail.checks, 2);
  EXPECT_EQ(instance.journal, (Journal{"close mail list", "save flags", "remove tray icon",
                                       "close options", "close popup"}));
  EXPECT_EQ(instance.settings.storedFlags, flag_bits::kDefault | 0x80);
}

TEST_F(ApplicationTest, MenuCommandsReachTheirTargets) {
  MemoryRecord record;
  Instance instance({}, flag_bits::kDefault | 0x80, record, tracePath("trace.log"));
  ASSERT_EQ(instance.application.OnCreate(), 0);
  instance.journal.clear();
  Application& application = instance.application;
  EXPECT_TRUE(application.OnCommand(40034));
  EXPECT_TRUE(application.OnCommand(40033));
  EXPECT_TRUE(application.OnCommand(40001));
  EXPECT_EQ(instance.journal,
            (Journal{"open readers 1048576", "open readers 4096", "open options"}));
  EXPECT_TRUE(application.OnCommand(40016));
  EXPECT_EQ(application.cycle().silenceMinutes(), 15);
  EXPECT_TRUE(application.OnCommand(40035));
  EXPECT_EQ(application.cycle().silenceMinutes(), 0);
  EXPECT_TRUE(application.flags().any(flag_bits::kSilencedForEver));
  EXPECT_TRUE(application.OnCommand(40021));
  EXPECT_EQ(application.cycle().silenceMinutes(), -1);
  EXPECT_FALSE(application.flags().any(flag_bits::kSilencedForEver));
  EXPECT_FALSE(application.OnCommand(40024));
  instance.journal.clear();
  application.OnTimer(kTimerTrayAlternation);
  EXPECT_EQ(instance.journal, Journal{"alternate tray icon"});
  application.Close();
}

}  // namespace
}  // namespace tarvel

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
