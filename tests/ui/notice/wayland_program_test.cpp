// The running program on a Wayland compositor without an X server (weston's headless
// backend): it starts without DISPLAY, checks, brings the popup option's notice as a desktop
// notification (weston offers no way to place the popup at the corner) and exits cleanly.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>

#include "tests/support/dovecot_server.h"
#include "tests/ui/notice/wayland_session.h"

namespace {

using tarvel::testing::WaitUntil;

class WaylandProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QProcess& weston =
        session_.Start("weston", {"--backend=headless-backend.so", "--use-pixman", "--no-config",
                                  "--idle-time=0", "--socket=" + session_.socket()});
    ASSERT_TRUE(session_.WaitForSocket(weston)) << weston.readAllStandardError().toStdString();
    ASSERT_TRUE(session_.StartBus());
  }

  tarvel::testing::WaylandSession session_{QStringLiteral("tarvel-test-wayland")};
};

TEST_F(WaylandProgramTest, WithoutAnXServerTheNewMailNoticeComesAsADesktopNotification) {
  tarvel::testing::DovecotServer server;
  ASSERT_TRUE(server.started());
  ::setenv("TARVEL_CA_FILE", server.caFile().c_str(), 1);
  ::setenv("TARVEL_CONNECT_TO", server.connectTo().c_str(), 1);
  // IMAP #1 with the popup option on.
  ASSERT_TRUE(session_.WriteImapAccount());
  QProcess& program = session_.Start(QStringLiteral(TARVEL_BINARY_DIR_PATH "/bin/tarvel"), {});
  // The first check sees the mailbox as it is; a mail that arrives afterwards is new.
  ASSERT_TRUE(WaitUntil([&] {
    return session_.TraceText().contains(QStringLiteral("] CheckOut"));
  })) << session_.TraceText().toStdString();
  const std::string date = QDateTime::currentDateTimeUtc().toString(Qt::RFC2822Date).toStdString();
  ASSERT_TRUE(server.Deliver("tester", "INBOX",
                             "From: Ann <ann@example.com>\r\nDate: " + date +
                                 "\r\nSubject: Lunch on Wayland\r\n\r\nbody\r\n"));

  ASSERT_TRUE(WaitUntil([&] { return !session_.Notices().empty(); }))
      << session_.TraceText().toStdString();
  const QJsonObject notice = session_.Notices().front();
  EXPECT_EQ(notice[QStringLiteral("app")].toString(), QStringLiteral("Tarvel E-Mail Notifier"));
  EXPECT_EQ(notice[QStringLiteral("summary")].toString(), QStringLiteral("1 new mail"));
  EXPECT_TRUE(
      notice[QStringLiteral("body")].toString().contains(QStringLiteral("Lunch on Wayland")))
      << notice[QStringLiteral("body")].toString().toStdString();
  EXPECT_TRUE(session_.TraceText().contains(QStringLiteral("WaylandSession")));
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
