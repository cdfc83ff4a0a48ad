// The desktop program as a user starts it: one instance per user, a portable one beside it,
// and a clean exit on SIGTERM.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <filesystem>

#include "tests/support/fixture_server.h"

namespace {

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("tarvel-program-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder_);
    for (const char* sub : {"config", "state", "data", "runtime", "portable"}) {
      std::filesystem::create_directories(folder_ / sub);
    }
    std::filesystem::permissions(folder_ / "runtime", std::filesystem::perms::owner_all);
    environment_ = QProcessEnvironment::systemEnvironment();
    environment_.insert("QT_QPA_PLATFORM", "offscreen");
    environment_.insert("XDG_CONFIG_HOME", Path("config"));
    environment_.insert("XDG_STATE_HOME", Path("state"));
    environment_.insert("XDG_DATA_HOME", Path("data"));
    environment_.insert("XDG_RUNTIME_DIR", Path("runtime"));
  }
  void TearDown() override {
    for (auto& process : processes_) {
      if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(5000);
      }
    }
    std::filesystem::remove_all(folder_);
  }

  QString Path(const char* sub) const { return QString::fromStdString((folder_ / sub).string()); }
  QString TracePath() const { return Path("state") + "/Quorline/Tarvel/trace.log"; }

  static QString Program() { return QStringLiteral(TARVEL_BINARY_DIR_PATH "/bin/tarvel"); }

  QProcess& Start(const QString& program, const QStringList& arguments = {}) {
    processes_.push_back(std::make_unique<QProcess>());
    QProcess& process = *processes_.back();
    process.setProcessEnvironment(environment_);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    EXPECT_TRUE(process.waitForStarted(10'000));
    return process;
  }

  int CountInTrace(const QString& entry) const {
    QFile file(TracePath());
    if (!file.open(QIODevice::ReadOnly))
      return 0;
    return static_cast<int>(file.readAll().count(("] " + entry + "\n").toUtf8()));
  }

  // Waits (in real time: another process is being watched) until the trace holds the entry
  // the given number of times.
  bool WaitForTrace(const QString& entry, int times) const {
    QElapsedTimer elapsed;
    elapsed.start();
    while (CountInTrace(entry) < times && elapsed.elapsed() < 20'000)
      QThread::msleep(20);
    return CountInTrace(entry) >= times;
  }

  std::filesystem::path folder_;
  QProcessEnvironment environment_;
  std::vector<std::unique_ptr<QProcess>> processes_;
};

TEST_F(ProgramTest, PrintsItsVersionWithoutADisplay) {
  // No display of any kind: the answer comes before Qt looks for one.
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
    environment_.remove(name);
  QProcess& process = Start(Program(), {"--version"});
  ASSERT_TRUE(process.waitForFinished(20'000));
  EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(process.exitCode(), 0);
  EXPECT_EQ(process.readAllStandardOutput().toStdString(), "tarvel " TARVEL_PROJECT_VERSION "\n");
  // Nothing started: no trace, no settings.
  EXPECT_FALSE(QFile::exists(TracePath()));
  EXPECT_FALSE(QFile::exists(Path("config") + "/Quorline/registry"));
}

TEST_F(ProgramTest, SecondStartOpensTheFirstOnesOptionsAndEndsWithZero) {
  QProcess& first = Start(Program());
  // With no account enabled the start asks for the options and still runs its first check.
  ASSERT_TRUE(WaitForTrace("OpenOptions", 1));
  ASSERT_TRUE(WaitForTrace("CheckOut", 1));

  QProcess& second = Start(Program());
  ASSERT_TRUE(second.waitForFinished(20'000));
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_TRUE(WaitForTrace("OpenOptions", 2));
  EXPECT_EQ(first.state(), QProcess::Running);

  first.terminate();  // SIGTERM: the same clean exit as the tray menu's Exit
  ASSERT_TRUE(first.waitForFinished(20'000));
  EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(first.exitCode(), 0);
  EXPECT_EQ(CountInTrace("Exit"), 1);
  QFile registry(Path("config") + "/Quorline/registry");
  ASSERT_TRUE(registry.open(QIODevice::ReadOnly));
  const QByteArray content = registry.readAll();
  EXPECT_TRUE(content.contains("Flags")) << content.toStdString();
}

TEST_F(ProgramTest, NormalAndPortableInstancesRunSideBySide) {
  // The portable program keeps its settings file beside itself: run a copy in a folder of
  // its own.
  const std::filesystem::path copy = folder_ / "portable" / "tarvel";
  std::filesystem::copy_file(Program().toStdString(), copy);
  QProcess& normal = Start(Program());
  ASSERT_TRUE(WaitForTrace("CheckOut", 1));
  QProcess& portable = Start(QString::fromStdString(copy.string()), {"-p"});
  ASSERT_TRUE(WaitForTrace("CheckOut", 2));
  EXPECT_EQ(normal.state(), QProcess::Running);
  EXPECT_EQ(portable.state(), QProcess::Running);

  portable.terminate();
  ASSERT_TRUE(portable.waitForFinished(20'000));
  EXPECT_EQ(portable.exitCode(), 0);
  EXPECT_TRUE(std::filesystem::exists(folder_ / "portable" / "tarvel.ini"));
  normal.terminate();
  ASSERT_TRUE(normal.waitForFinished(20'000));
}

TEST_F(ProgramTest, TheWeeklyUpdateCheckAsksItsHostAndOnlyTellsACopyItDoesNotOwn) {
  const auto tarvelctl = [this](const QStringList& arguments) {
    QProcess& process = Start(QStringLiteral(TARVEL_BINARY_DIR_PATH "/bin/tarvelctl"), arguments);
    EXPECT_TRUE(process.waitForFinished(20'000));
    return QString::fromUtf8(process.readAllStandardOutput());
  };
  // Without an update host the check is off.
  QProcess& unconfigured = Start(Program());
  ASSERT_TRUE(WaitForTrace("CheckOut", 1));
  unconfigured.terminate();
  ASSERT_TRUE(unconfigured.waitForFinished(20'000));
  EXPECT_EQ(CountInTrace("UpdateCheck off: no update host"), 1);

  tarvel::testing::FixtureServer server;
  const std::string answer =
      "<update><application>Tarvel E-Mail Notifier</application><info><en>Version 9.1 is "
      "out.</en></info><help>https://update.example.com/news</help><version>9.1</version>"
      "<files><url zip=\"t.tar.gz\" size=\"5\" sha256=\"" +
      std::string(64, 'a') + "\">https://update.example.com/t.tar.gz</url></files></update>";
  ASSERT_TRUE(server.Start(nlohmann::json::array(
      {{{"host", "update.example.com"}, {"path", "/common/update.php"}, {"body", answer}}})));
  server.ExportEnvironment();
  for (const char* name : {"TARVEL_CONNECT_TO", "TARVEL_CA_FILE"})
    environment_.insert(name, qEnvironmentVariable(name));
  tarvelctl({"settings", "set", "UpdateHost", "update.example.com"});
  tarvelctl({"settings", "set", "LastCheck", "1"});

  // The build's program is neither a package's nor a portable tree: the user is told, and
  // nothing is fetched but the answer.
  QProcess& configured = Start(Program());
  ASSERT_TRUE(WaitForTrace("UpdateCheck Told", 1));
  configured.terminate();
  ASSERT_TRUE(configured.waitForFinished(20'000));
  EXPECT_EQ(configured.exitCode(), 0);
  const std::vector<nlohmann::json> requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const std::string path = requests[0]["path"];
  EXPECT_EQ(path.rfind("/common/update.php?p=tarvel&v=", 0), 0u) << path;
  EXPECT_NE(path.find("&id="), std::string::npos) << path;
  EXPECT_EQ(tarvel::testing::FixtureServer::Header(requests[0], "User-Agent"), "AutoUpdate");
  // The check's time was written; the next start within the week does not check.
  EXPECT_FALSE(tarvelctl({"settings", "list"}).contains(u"LastCheck = 1\n"_qs));
  QProcess& again = Start(Program());
  ASSERT_TRUE(WaitForTrace("CheckOut", 3));
  again.terminate();
  ASSERT_TRUE(again.waitForFinished(20'000));
  EXPECT_EQ(server.Requests().size(), 1u);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
