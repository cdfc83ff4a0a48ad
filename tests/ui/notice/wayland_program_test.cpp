// The running program on a Wayland compositor without an X server (weston's headless
// backend): it starts without DISPLAY, checks, brings the popup option's notice as a desktop
// notification (weston offers no way to place the popup at the corner) and exits cleanly.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "tests/support/dovecot_server.h"
#include "tests/support/temp_folder.h"

namespace {

// Generous: weston, the program and the other desktop tests share two cores; a wait ends as
// soon as its condition holds.
constexpr int kWaitMs = 60'000;

bool WaitUntil(const std::function<bool()>& done, int milliseconds = kWaitMs) {
  QElapsedTimer elapsed;
  elapsed.start();
  while (!done()) {
    if (elapsed.elapsed() > milliseconds)
      return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(20);
  }
  return true;
}

const QString kSocket = QStringLiteral("tarvel-test-wayland");

class WaylandProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::make_unique<tarvel::testing::TempFolder>();
    folder_->UseAsConfigHome();
    for (const char* sub : {"state", "data", "runtime"})
      std::filesystem::create_directories(folder_->file(sub));
    std::filesystem::permissions(folder_->file("runtime"), std::filesystem::perms::owner_all);
    runtime_ = QString::fromStdString(folder_->file("runtime"));

    QProcess& weston = Start("weston", {"--backend=headless-backend.so", "--use-pixman",
                                        "--no-config", "--idle-time=0", "--socket=" + kSocket});
    ASSERT_TRUE(WaitUntil([&] {
      return QFileInfo::exists(runtime_ + "/" + kSocket) || weston.state() == QProcess::NotRunning;
    }));
    ASSERT_EQ(weston.state(), QProcess::Running) << weston.readAllStandardError().toStdString();
    QProcess& bus = Start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    ASSERT_TRUE(WaitUntil([&] { return bus.canReadLine() || bus.waitForReadyRead(50); }));
    busAddress_ = QString::fromLatin1(bus.readLine()).trimmed();
    ASSERT_FALSE(busAddress_.isEmpty());
    notices_ = QString::fromStdString(folder_->file("notify.jsonl"));
    QProcess& server = Start(
        "/usr/bin/python3",
        {QStringLiteral(TARVEL_SOURCE_DIR_PATH "/tests/ui/notice/fake_notification_server.py"),
         notices_});
    ASSERT_TRUE(WaitUntil([&] { return server.canReadLine() || server.waitForReadyRead(50); }));
  }

  void TearDown() override {
    for (auto process = processes_.rbegin(); process != processes_.rend(); ++process) {
      if ((*process)->state() != QProcess::NotRunning) {
        (*process)->terminate();
        if (!(*process)->waitForFinished(5000)) {
          (*process)->kill();
          (*process)->waitForFinished(5000);
        }
      }
    }
  }

  // A Wayland session: no X server named anywhere.
  QProcessEnvironment Environment() const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("DISPLAY");
    environment.remove("XAUTHORITY");
    environment.remove("XDG_CURRENT_DESKTOP");
    environment.insert("XDG_SESSION_TYPE", "wayland");
    environment.insert("WAYLAND_DISPLAY", kSocket);
    environment.insert("QT_QPA_PLATFORM", "wayland");
    environment.insert("XDG_RUNTIME_DIR", runtime_);
    if (!busAddress_.isEmpty())
      environment.insert("DBUS_SESSION_BUS_ADDRESS", busAddress_);
    environment.insert("XDG_CONFIG_HOME", QString::fromStdString(folder_->file("config")));
    environment.insert("XDG_STATE_HOME", QString::fromStdString(folder_->file("state")));
    environment.insert("XDG_DATA_HOME", QString::fromStdString(folder_->file("data")));
    return environment;
  }

  QProcess& Start(const QString& program, const QStringList& arguments) {
    processes_.push_back(std::make_unique<QProcess>());
    QProcess& process = *processes_.back();
    process.setProcessEnvironment(Environment());
    process.setProcessChannelMode(program.endsWith("/tarvel") ? QProcess::ForwardedChannels
                                                              : QProcess::SeparateChannels);
    process.start(program, arguments);
    EXPECT_TRUE(process.waitForStarted(10'000)) << program.toStdString();
    return process;
  }

  void WriteSetting(const std::string& name, const std::string& value, const char* kind) {
    const std::string tarvelctl = TARVEL_BINARY_DIR_PATH "/bin/tarvelctl";
    ASSERT_EQ(tarvel::testing::RunProgram({tarvelctl, "settings", "set", name, value, kind}), 0)
        << name;
  }

  QString TraceText() const {
    QFile file(QString::fromStdString(folder_->file("state")) + "/Quorline/Tarvel/trace.log");
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
  }

  std::vector<QJsonObject> Notices() const {
    std::vector<QJsonObject> records;
    QFile file(notices_);
    if (!file.open(QIODevice::ReadOnly))
      return records;
    for (const QByteArray& line : file.readAll().split('\n')) {
      if (!line.isEmpty())
        records.push_back(QJsonDocument::fromJson(line).object());
    }
    return records;
  }

  std::unique_ptr<tarvel::testing::TempFolder> folder_;
  std::vector<std::unique_ptr<QProcess>> processes_;
  QString runtime_;
  QString busAddress_;
  QString notices_;
};

TEST_F(WaylandProgramTest, WithoutAnXServerTheNewMailNoticeComesAsADesktopNotification) {
  tarvel::testing::DovecotServer server;
  ASSERT_TRUE(server.started());
  ::setenv("TARVEL_CA_FILE", server.caFile().c_str(), 1);
  ::setenv("TARVEL_CONNECT_TO", server.connectTo().c_str(), 1);
  // IMAP #1 with the popup option on.
  WriteSetting("Flags", std::to_string(0x1010 | 0x1000000), "--number");
  WriteSetting("IMAPServer", "imap.example.com:993", "--text");
  WriteSetting("IMAPUser", "tester", "--protected");
  WriteSetting("IMAPPassword", "s3cret", "--protected");
  QProcess& program = Start(QStringLiteral(TARVEL_BINARY_DIR_PATH "/bin/tarvel"), {});
  // The first check sees the mailbox as it is; a mail that arrives afterwards is new.
  ASSERT_TRUE(WaitUntil([&] { return TraceText().contains(QStringLiteral("] CheckOut")); }))
      << TraceText().toStdString();
  const std::string date = QDateTime::currentDateTimeUtc().toString(Qt::RFC2822Date).toStdString();
  ASSERT_TRUE(server.Deliver("tester", "INBOX",
                             "From: Ann <ann@example.com>\r\nDate: " + date +
                                 "\r\nSubject: Lunch on Wayland\r\n\r\nbody\r\n"));

  ASSERT_TRUE(WaitUntil([&] { return !Notices().empty(); })) << TraceText().toStdString();
  const QJsonObject notice = Notices().front();
  EXPECT_EQ(notice[QStringLiteral("app")].toString(), QStringLiteral("Tarvel E-Mail Notifier"));
  EXPECT_EQ(notice[QStringLiteral("summary")].toString(), QStringLiteral("1 new mail"));
  EXPECT_TRUE(
      notice[QStringLiteral("body")].toString().contains(QStringLiteral("Lunch on Wayland")))
      << notice[QStringLiteral("body")].toString().toStdString();
  EXPECT_TRUE(TraceText().contains(QStringLiteral("WaylandSession")));
  EXPECT_EQ(program.state(), QProcess::Running);
  // It draws with the CPU: no GL driver is loaded for its windows.
  QFile maps(QStringLiteral("/proc/%1/maps").arg(program.processId()));
  ASSERT_TRUE(maps.open(QIODevice::ReadOnly));
  const QByteArray mapped = maps.readAll();
  for (const char* library : {"_dri.so", "libEGL_mesa", "libgbm", "wayland-egl"})
    EXPECT_FALSE(mapped.contains(library)) << library;

  // It ends on the session's request, as on X11.
  program.terminate();
  ASSERT_TRUE(program.waitForFinished(30'000));
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0);
  ::unsetenv("TARVEL_CA_FILE");
  ::unsetenv("TARVEL_CONNECT_TO");
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
