#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "ui/notice/desktop_notification.h"

namespace tarvel {
namespace {

// The private bus and the notification server of this test process.
struct Desktop {
  QTemporaryDir folder;
  QProcess bus;
  QProcess server;
  QString log;
};
Desktop* desktop = nullptr;

// Starts the notification server (again); `markup`: it reads body markup.
bool StartServer(bool markup) {
  QStringList arguments = {QString::fromUtf8(TARVEL_FAKE_NOTIFICATION_SERVER), desktop->log};
  if (markup)
    arguments << u"--markup"_qs;
  desktop->server.start(u"/usr/bin/python3"_qs, arguments);
  if (!desktop->server.waitForStarted(5000))
    return false;
  QElapsedTimer waited;
  waited.start();
  while (!desktop->server.canReadLine() && waited.elapsed() < 10'000)
    desktop->server.waitForReadyRead(100);
  return desktop->server.readLine().trimmed() == "ready";
}

void StopServer() {
  desktop->server.kill();
  desktop->server.waitForFinished(5000);
}

bool StartDesktop() {
  desktop->log = desktop->folder.filePath(u"notify.jsonl"_qs);
  desktop->bus.start(u"dbus-daemon"_qs,
                     {u"--session"_qs, u"--nofork"_qs, u"--nopidfile"_qs, u"--print-address"_qs});
  if (!desktop->bus.waitForStarted(5000) || !desktop->bus.waitForReadyRead(5000))
    return false;
  const QByteArray address = desktop->bus.readLine().trimmed();
  if (address.isEmpty())
    return false;
  qputenv("DBUS_SESSION_BUS_ADDRESS", address);
  return StartServer(false);
}

std::vector<QJsonObject> Recorded(size_t atLeast) {
  std::vector<QJsonObject> records;
  QElapsedTimer waited;
  waited.start();
  do {
    records.clear();
    QFile file(desktop->log);
    if (file.open(QIODevice::ReadOnly)) {
      for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.isEmpty())
          records.push_back(QJsonDocument::fromJson(line).object());
      }
    }
    if (records.size() >= atLeast)
      break;
    QTest::qWait(20);
  } while (waited.elapsed() < 5000);
  return records;
}

QDBusMessage Control(const QString& method, const QVariantList& arguments = {}) {
  QDBusMessage call = QDBusMessage::createMethodCall(u"org.example.FakeDesktop"_qs,
                                                     u"/org/freedesktop/Notifications"_qs,
                                                     u"org.example.FakeDesktop"_qs, method);
  call.setArguments(arguments);
  return QDBusConnection::sessionBus().call(call);
}

uint CapabilityRequests() {
  const QDBusMessage reply = Control(u"CapabilityRequests"_qs);
  return reply.arguments().isEmpty() ? 0 : reply.arguments().constFirst().toUInt();
}

// A notification object that has heard the server's capabilities.
void WaitForCapabilities(DesktopNotification& notification) {
  if (notification.markup() != DesktopNotification::Markup::Unknown)
    return;
  QSignalSpy known(&notification, &DesktopNotification::capabilitiesKnown);
  ASSERT_TRUE(known.wait(5000));
}

BalloonNotice TwoMails() {
  BalloonNotice notice;
  notice.title = Text(u"2 new mails");
  notice.text = Text(u"Ann: Lunch <b>now</b>?\rBob: Tom & Jerry");
  notice.timeoutMs = 7000;
  return notice;
}

TEST(DesktopNotificationTest, NoticeReachesTheServerWithItsFields) {
  DesktopNotification notification;
  WaitForCapabilities(notification);
  QSignalSpy notified(&notification, &DesktopNotification::notified);
  notification.ShowBalloon(TwoMails());
  ASSERT_TRUE(notified.wait(5000));
  const std::vector<QJsonObject> records = Recorded(1);
  ASSERT_EQ(records.size(), 1u);
  const QJsonObject& record = records[0];
  EXPECT_EQ(record[u"app"_qs].toString(), u"Tarvel E-Mail Notifier"_qs);
  EXPECT_EQ(record[u"summary"_qs].toString(), u"2 new mails"_qs);
  // A server without markup gets the lines as they are, one per line.
  EXPECT_EQ(record[u"body"_qs].toString(), u"Ann: Lunch <b>now</b>?\nBob: Tom & Jerry"_qs);
  EXPECT_EQ(record[u"timeout"_qs].toInt(), 7000);
  EXPECT_EQ(record[u"actions"_qs].toArray(), QJsonArray({u"default"_qs, u"Open"_qs}));
  const QJsonObject hints = record[u"hints"_qs].toObject();
  EXPECT_EQ(hints[u"category"_qs].toString(), u"email.arrived"_qs);
  const QJsonObject image = hints[u"image-data"_qs].toObject();
  EXPECT_EQ(image[u"width"_qs].toInt(), 64);
  EXPECT_EQ(image[u"height"_qs].toInt(), 64);
  EXPECT_EQ(image[u"channels"_qs].toInt(), 4);
  EXPECT_EQ(image[u"bits"_qs].toInt(), 8);
  EXPECT_TRUE(image[u"alpha"_qs].toBool());
  EXPECT_EQ(image[u"bytes"_qs].toInt(), 64 * image[u"rowstride"_qs].toInt());

  // The next notice replaces this one; a stay time of 0 leaves the expiry to the server.
  BalloonNotice next = TwoMails();
  next.timeoutMs = 0;
  next.title = Text(u"1 new mail");
  notification.ShowBalloon(next);
  ASSERT_TRUE(notified.wait(5000));
  const std::vector<QJsonObject> both = Recorded(2);
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[1][u"replaces"_qs].toInt(), static_cast<int>(notification.lastId()));
  EXPECT_EQ(both[1][u"timeout"_qs].toInt(), -1);
}

const QString kEscapedBody = u"Ann: Lunch &lt;b&gt;now&lt;/b&gt;?\nBob: Tom &amp; Jerry"_qs;
const QString kPlainBody = u"Ann: Lunch <b>now</b>?\nBob: Tom & Jerry"_qs;

TEST(DesktopNotificationTest, MarkupServerGetsTheTextEscaped) {
  Control(u"SetMarkup"_qs, {true});
  DesktopNotification notification;
  WaitForCapabilities(notification);
  QSignalSpy notified(&notification, &DesktopNotification::notified);
  notification.ShowBalloon(TwoMails());
  ASSERT_TRUE(notified.wait(5000));
  const std::vector<QJsonObject> records = Recorded(1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0][u"body"_qs].toString(), kEscapedBody);
}

// A server that does not answer GetCapabilities: the notices go out at once, escaped, since
// the server may read markup; the question is not repeated while it is still open.
TEST(DesktopNotificationTest, UnknownCapabilitiesEscapeTheBodyAndHoldNothingUp) {
  Control(u"SetSilent"_qs, {true});
  const uint before = CapabilityRequests();
  DesktopNotification notification;
  QSignalSpy notified(&notification, &DesktopNotification::notified);
  notification.ShowBalloon(TwoMails());
  notification.ShowBalloon(TwoMails());
  while (notified.size() < 2 && notified.wait(5000)) {
  }
  ASSERT_EQ(notified.size(), 2);
  EXPECT_EQ(notification.markup(), DesktopNotification::Markup::Unknown);
  const std::vector<QJsonObject> records = Recorded(2);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0][u"body"_qs].toString(), kEscapedBody);
  EXPECT_EQ(records[1][u"body"_qs].toString(), kEscapedBody);
  EXPECT_EQ(CapabilityRequests() - before, 1u);
  Control(u"SetSilent"_qs, {false});
}

// The capabilities are asked once for a server, not for every notice, and again when another
// server takes the name: here one that reads markup replaces one that does not.
TEST(DesktopNotificationTest, CapabilitiesAreAskedOncePerServer) {
  const uint before = CapabilityRequests();
  DesktopNotification notification;
  WaitForCapabilities(notification);
  EXPECT_EQ(notification.markup(), DesktopNotification::Markup::NotRead);
  QSignalSpy notified(&notification, &DesktopNotification::notified);
  for (int notice = 0; notice < 3; ++notice) {
    notification.ShowBalloon(TwoMails());
    ASSERT_TRUE(notified.wait(5000));
  }
  EXPECT_EQ(CapabilityRequests() - before, 1u);
  EXPECT_EQ(Recorded(3).back()[u"body"_qs].toString(), kPlainBody);

  StopServer();
  QFile::remove(desktop->log);
  QSignalSpy known(&notification, &DesktopNotification::capabilitiesKnown);
  ASSERT_TRUE(StartServer(true));
  ASSERT_TRUE(known.wait(5000));
  EXPECT_EQ(notification.markup(), DesktopNotification::Markup::Read);
  notification.ShowBalloon(TwoMails());
  ASSERT_TRUE(notified.wait(5000));
  const std::vector<QJsonObject> records = Recorded(1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0][u"body"_qs].toString(), kEscapedBody);
  // A new server numbers its notices itself: the old id is not replaced.
  EXPECT_EQ(records[0][u"replaces"_qs].toInt(), 0);
  EXPECT_EQ(CapabilityRequests(), 1u);
}

TEST(DesktopNotificationTest, InvokingTheDefaultActionIsTheClick) {
  DesktopNotification notification;
  int clicks = 0;
  notification.setClickAction([&clicks] { ++clicks; });
  QSignalSpy notified(&notification, &DesktopNotification::notified);
  notification.ShowBalloon(TwoMails());
  ASSERT_TRUE(notified.wait(5000));
  const uint id = notification.lastId();
  Control(u"InvokeAction"_qs, {id + 1, u"default"_qs});  // someone else's notification
  Control(u"InvokeAction"_qs, {id, u"other"_qs});
  Control(u"InvokeAction"_qs, {id, u"default"_qs});
  Control(u"InvokeAction"_qs, {id, u"default"_qs});  // a server that reports it twice
  QElapsedTimer waited;
  waited.start();
  while (clicks == 0 && waited.elapsed() < 5000)
    QTest::qWait(20);
  QTest::qWait(100);
  EXPECT_EQ(clicks, 1);
}

// "Mark as read" sits beside the default action only on a notice whose mail can all be marked
// (web mail cannot); choosing it hands over that notice's ids once; the click stays its own.
// A failure is a notification of its own, with no actions, that replaces nothing.
TEST(DesktopNotificationTest, MarkAsReadOnlyWhereTheMailCanBeMarkedAndOnlyOnce) {
  DesktopNotification notification;
  std::vector<std::string> markable = {"id-1", "id-2"};
  std::vector<std::vector<std::string>> marked;
  int clicks = 0;
  notification.setClickAction([&clicks] { ++clicks; });
  notification.setMarkRead([&markable] { return markable; },
                           [&marked](std::vector<std::string> ids) { marked.push_back(ids); });
  QSignalSpy notified(&notification, &DesktopNotification::notified);
  notification.ShowBalloon(TwoMails());
  ASSERT_TRUE(notified.wait(5000));
  std::vector<QJsonObject> records = Recorded(1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0][u"actions"_qs].toArray(),
            QJsonArray({u"default"_qs, u"Open"_qs, u"mark-read"_qs, u"Mark as read"_qs}));
  const uint id = notification.lastId();
  Control(u"InvokeAction"_qs, {id + 1, u"mark-read"_qs});  // someone else's notification
  Control(u"InvokeAction"_qs, {id, u"mark-read"_qs});
  Control(u"InvokeAction"_qs, {id, u"mark-read"_qs});  // reported twice
  Control(u"InvokeAction"_qs, {id, u"default"_qs});
  QElapsedTimer waited;
  waited.start();
  while ((marked.empty() || clicks == 0) && waited.elapsed() < 5000)
    QTest::qWait(20);
  QTest::qWait(100);
  ASSERT_EQ(marked.size(), 1u);
  EXPECT_EQ(marked[0], (std::vector<std::string>{"id-1", "id-2"}));
  EXPECT_EQ(clicks, 1);

  // Mail that cannot be marked: the default action alone, and a late "mark-read" does nothing.
  markable.clear();
  notification.ShowBalloon(TwoMails());
  ASSERT_TRUE(notified.wait(5000));
  records = Recorded(2);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1][u"actions"_qs].toArray(), QJsonArray({u"default"_qs, u"Open"_qs}));
  Control(u"InvokeAction"_qs, {notification.lastId(), u"mark-read"_qs});
  QTest::qWait(200);
  EXPECT_EQ(marked.size(), 1u);

  notification.ShowFailure(u"Could not mark as read"_qs, u"the server said <no>"_qs);
  records = Recorded(3);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[2][u"summary"_qs].toString(), u"Could not mark as read"_qs);
  EXPECT_EQ(records[2][u"body"_qs].toString(), u"the server said <no>"_qs);
  EXPECT_TRUE(records[2][u"actions"_qs].toArray().isEmpty());
  EXPECT_EQ(records[2][u"replaces"_qs].toInt(), 0);
}

TEST(DesktopNotificationTest, WithoutAServerTheFallbackShowsIt) {
  StopServer();
  DesktopNotification notification;
  QString shownTitle;
  QString shownText;
  notification.setFallback([&](const QString& title, const QString& text, int) {
    shownTitle = title;
    shownText = text;
  });
  QSignalSpy failed(&notification, &DesktopNotification::failed);
  notification.ShowBalloon(TwoMails());
  ASSERT_TRUE(failed.wait(5000));
  EXPECT_EQ(shownTitle, u"2 new mails"_qs);
  EXPECT_EQ(shownText, kPlainBody);
}

}  // namespace
}  // namespace tarvel

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (::testing::GTEST_FLAG(list_tests))
    return RUN_ALL_TESTS();
  qputenv("QT_QPA_PLATFORM", "offscreen");
  tarvel::Desktop desktop;
  tarvel::desktop = &desktop;
  if (!tarvel::StartDesktop()) {
    std::fprintf(stderr, "could not start a private bus with the notification server\n");
    return 1;
  }
  int result = 0;
  {
    QApplication application(argc, argv);
    result = RUN_ALL_TESTS();
  }
  desktop.server.kill();
  desktop.server.waitForFinished(5000);
  desktop.bus.kill();
  desktop.bus.waitForFinished(5000);
  return result;
}
