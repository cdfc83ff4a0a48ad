// The new-mail notice path as the desktop meets it: from an IMAP server's IDLE push (the
// engine's check-in) to the Notify call reaching the desktop's notification server. A
// loopback Dovecot, a private session bus, and a notification server on a thread of its own
// that notes when each Notify arrives. Each push is one new message (marked seen before the
// next); its check runs on a check thread, the notice goes to the GUI thread and out on the
// bus, as in the program. Prints the medians; not a test.
//
// Usage: notice_benchmark [PUSHES]   (20 by default; QT_QPA_PLATFORM=offscreen is enough)
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <QVariantMap>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "accounts/check_in_relay.h"
#include "accounts/option_flags.h"
#include "app/main_window_port.h"
#include "engines/protocol/imap_engine.h"
#include "mail/mail_item.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/fake_clock.h"
#include "ui/notice/desktop_notification.h"
#include "ui/notice/new_mail_notice.h"
#include "ui/tray/tray_icon_composer.h"
#include "ui/tray/tray_icon_images.h"

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// What the benchmark waits for, shared by its threads.
struct Moments {
  std::mutex lock;
  std::condition_variable changed;
  int checkIns = 0;
  Clock::time_point checkedIn;
  int notifies = 0;
  Clock::time_point notified;
};

}  // namespace

// The notification server: answers at once and notes the moment of each Notify.
class BenchNotificationServer : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  explicit BenchNotificationServer(Moments& moments) : moments_(moments) {}

 public slots:
  uint Notify(const QString&, uint replaces, const QString&, const QString&, const QString&,
              const QStringList&, const QVariantMap&, int) {
    {
      const std::lock_guard<std::mutex> guard(moments_.lock);
      moments_.notified = Clock::now();
      ++moments_.notifies;
    }
    moments_.changed.notify_all();
    return replaces != 0 ? replaces : ++last_;
  }
  QStringList GetCapabilities() { return {u"body"_qs, u"actions"_qs, u"body-markup"_qs}; }
  void CloseNotification(uint) {}

 private:
  Moments& moments_;
  uint last_ = 0;
};

namespace {

class NoWindow : public tarvel::MainWindowPort {
 public:
  void PostMessage(uint32_t, uintptr_t, intptr_t) override {}
  intptr_t SendMessage(uint32_t, uintptr_t, intptr_t) override { return 0; }
  void SetTimer(uint32_t, uint32_t) override {}
  void KillTimer(uint32_t) override {}
};

const tarvel::AccountTypeInfo& FirstImapType() {
  for (const tarvel::AccountTypeInfo& type : tarvel::kAccountTypes) {
    if (type.engine == tarvel::EngineKind::Imap)
      return type;
  }
  return tarvel::kAccountTypes[0];
}

}  // namespace

int main(int argc, char* argv[]) {
  int pushes = 20;
  if (argc > 1) {
    const std::string_view text = argv[1];
    std::from_chars(text.data(), text.data() + text.size(), pushes);
    pushes = std::clamp(pushes, 1, 200);
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");

  // A private session bus, named before anything asks for the session bus.
  QProcess bus;
  bus.start(u"dbus-daemon"_qs,
            {u"--session"_qs, u"--nofork"_qs, u"--nopidfile"_qs, u"--print-address"_qs});
  if (!bus.waitForStarted(5000) || !bus.waitForReadyRead(5000)) {
    std::fputs("dbus-daemon did not start\n", stderr);
    return 1;
  }
  const QByteArray address = bus.readLine().trimmed();
  qputenv("DBUS_SESSION_BUS_ADDRESS", address);

  tarvel::testing::DovecotServer server;
  if (!server.started()) {
    std::fputs("Dovecot did not start\n", stderr);
    return 1;
  }
  ::setenv("TARVEL_CA_FILE", server.caFile().c_str(), 1);
  ::setenv("TARVEL_CONNECT_TO", server.connectTo().c_str(), 1);

  QApplication application(argc, argv);
  Moments moments;

  // The server on its own connection and thread, so the program's GUI thread does not answer
  // its own calls.
  QThread serverThread;
  serverThread.start();
  BenchNotificationServer notifications(moments);
  notifications.moveToThread(&serverThread);
  QDBusConnection serverBus =
      QDBusConnection::connectToBus(QString::fromUtf8(address), u"bench-notifications"_qs);
  if (!serverBus.registerObject(u"/org/freedesktop/Notifications"_qs, &notifications,
                                QDBusConnection::ExportAllSlots) ||
      !serverBus.registerService(u"org.freedesktop.Notifications"_qs)) {
    std::fputs("the notification server could not register\n", stderr);
    return 1;
  }

  // The program's side: the notice with its desktop notification and the tray's picture.
  tarvel::OptionFlags flags;
  flags.store(tarvel::flag_bits::kDefault & ~tarvel::flag_bits::kPopupAnnouncements);
  tarvel::TrayIconImages images;
  tarvel::DesktopNotification desktopNotification;
  desktopNotification.setIconProvider([&images, &flags](tarvel::CheckStatus status) {
    const tarvel::TrayIconComposition composition =
        tarvel::ComposeTrayIcon(1, status, flags.load(), images.customPictures());
    return images.RenderPrimary(composition, QSize(64, 64));
  });
  NoWindow window;
  tarvel::NewMailNotice notice(flags, window, desktopNotification);

  tarvel::testing::FakeClock fakeClock;
  tarvel::CheckInRelay relay;
  relay.Connect([&moments] {
    {
      const std::lock_guard<std::mutex> guard(moments.lock);
      moments.checkedIn = Clock::now();
      ++moments.checkIns;
    }
    moments.changed.notify_all();
  });
  const tarvel::ImapEngineServices services{fakeClock, flags,   nullptr,
                                            &relay,    nullptr, ZARQUET_LIBRARY_PATH};
  tarvel::ImapEngine engine(FirstImapType(), 0, services);
  tarvel::ImapAccountSettings settings;
  settings.server = u"imap.example.com:993";
  settings.user = u"second";
  settings.password = u"s3cret";
  settings.useIdle = 1;
  engine.ApplySettings(settings);
  server.ExpungeAll("second");

  std::vector<double> pushToNotify;
  std::vector<double> checkToNotify;
  std::vector<double> pushToCheckEnd;
  int failure = 0;
  // The check thread: the pushes, their checks and notices; the GUI thread runs the loop.
  std::thread checks([&] {
    const auto fail = [&](const char* what) {
      std::fprintf(stderr, "%s\n", what);
      failure = 1;
      QMetaObject::invokeMethod(&application, &QApplication::quit, Qt::QueuedConnection);
    };
    if (engine.Check() != tarvel::CheckStatus::Success || !engine.idleRunning())
      return fail("the account did not idle");
    // The notification server's capabilities have arrived long before the first mail.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    int expectedCheckIns = 0;
    const auto awaitCheckIn = [&] {
      ++expectedCheckIns;
      std::unique_lock<std::mutex> guard(moments.lock);
      return moments.changed.wait_for(guard, std::chrono::seconds(20),
                                      [&] { return moments.checkIns >= expectedCheckIns; });
    };
    for (int push = 0; push <= pushes; ++push) {  // the first is a warm-up
      const std::string subject = "push " + std::to_string(push);
      server.Deliver(
          "second", "INBOX",
          "From: Ann <ann@example.com>\r\nSubject: " + subject + " <b>now</b>\r\n\r\nbody\r\n");
      if (!awaitCheckIn())
        return fail("no check-in for a push within 20 s");
      Clock::time_point from;
      int notifiesBefore = 0;
      {
        const std::lock_guard<std::mutex> guard(moments.lock);
        from = moments.checkedIn;
        notifiesBefore = moments.notifies;
      }
      engine.ReadyToCheck();
      engine.mails.clear();
      if (engine.Check() != tarvel::CheckStatus::Success || engine.mails.count() != 1)
        return fail("a push check went wrong");
      tarvel::Text lines;
      tarvel::FormatMailLine(*engine.mails.first(), lines, tarvel::MailText::NewMail, false);
      const Clock::time_point checkEnd = Clock::now();
      notice.NotifyNewMail(lines, 1, tarvel::CheckStatus::Success);
      {
        std::unique_lock<std::mutex> guard(moments.lock);
        if (!moments.changed.wait_for(guard, std::chrono::seconds(10),
                                      [&] { return moments.notifies > notifiesBefore; }))
          return fail("no Notify within 10 s");
        if (push > 0) {
          pushToNotify.push_back(Milliseconds(moments.notified - from));
          checkToNotify.push_back(Milliseconds(moments.notified - checkEnd));
          pushToCheckEnd.push_back(Milliseconds(checkEnd - from));
        }
      }
      // Seen before the next push; the IDLE reports that too, and its check finds nothing.
      server.MarkSeen("second", "INBOX", subject);
      if (!awaitCheckIn())
        return fail("no check-in after marking a message seen");
      engine.ReadyToCheck();
      if (engine.Check() != tarvel::CheckStatus::Success)
        return fail("the check after marking seen went wrong");
    }
    QMetaObject::invokeMethod(&application, &QApplication::quit, Qt::QueuedConnection);
  });
  QApplication::exec();
  checks.join();
  relay.Disconnect();
  engine.ReadyToCheck();
  serverThread.quit();
  serverThread.wait();
  bus.kill();
  bus.waitForFinished(5000);
  if (failure != 0)
    return failure;
  std::sort(pushToNotify.begin(), pushToNotify.end());
  std::printf(
      "IDLE push (check-in) to Notify at the server, median of %d: %.2f ms "
      "(min %.2f, max %.2f)\n",
      pushes, Median(pushToNotify), pushToNotify.front(), pushToNotify.back());
  std::printf("  of which the check (check-in to its end): %.2f ms\n", Median(pushToCheckEnd));
  std::printf("  and the notice path (end of check to Notify): %.2f ms\n", Median(checkToNotify));
  return 0;
}

#include "notice_benchmark.moc"
