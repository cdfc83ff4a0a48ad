// The alerts on a real desktop stack started by the test: a private session bus with fake
// desktop services, Xvfb, and PulseAudio with a null sink.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QImageWriter>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "accounts/account_type_list.h"
#include "accounts/registry_store.h"
#include "accounts/settings_store.h"
#include "app/check_cycle.h"
#include "app/manual_main_window.h"
#include "maintenance/diagnostic_trace.h"
#include "tests/support/fake_clock.h"
#include "tests/support/recording_notifier.h"
#include "tests/support/scripted_engine.h"
#include "tests/support/temp_folder.h"
#include "tests/ui/alerts/desktop_session.h"
#include "ui/alerts/desktop_alerts.h"
#include "ui/alerts/desktop_busy_probes.h"
#include "ui/alerts/launcher_entry.h"
#include "ui/alerts/new_mail_alerts.h"
#include "ui/alerts/qt_sound_player.h"
#include "ui/alerts/unread_counts.h"
#include "ui/tray/custom_pictures.h"

namespace tarvel {
namespace {

testing::DesktopSession* session = nullptr;

constexpr int kWaitMs = 10000;

// The fake desktop services with the given answers, for as long as the object lives.
class FakeServices {
 public:
  explicit FakeServices(const std::vector<std::string>& options) : folder_() {
    std::vector<std::string> argv = {"/usr/bin/python3", TARVEL_FAKE_DESKTOP_SERVICES};
    argv.insert(argv.end(), options.begin(), options.end());
    const std::string log = folder_.file("services.log");
    process_.Start(argv, log);
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < kWaitMs && !ready_) {
      ready_ = testing::ReadFileContent(log).find("ready") != std::string::npos;
      if (!ready_)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  bool ready() const { return ready_; }

 private:
  testing::TempFolder folder_;
  testing::ChildProcess process_;
  bool ready_ = false;
};

class RecordingPlayer : public SoundPlayer {
 public:
  std::vector<std::string> played;
  void Play(const Text& path) override { played.push_back(path.ToUtf8()); }
  void Stop() override {}
};

TEST(DesktopBusy, TheDesktopServicesStates) {
  struct Row {
    const char* name;
    std::vector<std::string> services;
    bool notificationsOff;
    bool screenSaver;
  };
  const Row rows[] = {
      {"no services", {}, false, false},
      {"notification server without Inhibited", {"--notifications"}, false, false},
      {"notifications not inhibited", {"--inhibited=no"}, false, false},
      {"notifications inhibited", {"--inhibited=yes"}, true, false},
      {"GNOME banners off", {"--banners=no"}, true, false},
      {"GNOME banners on", {"--banners=yes"}, false, false},
      {"screen saver active", {"--screensaver=yes"}, false, true},
      {"screen saver inactive", {"--screensaver=no"}, false, false},
      {"GNOME screen saver active", {"--gnome-screensaver=yes"}, false, true},
      {"everything on", {"--inhibited=yes", "--screensaver=yes", "--banners=no"}, true, true},
      // Services that do not answer in time count as not busy.
      {"services too slow", {"--slow", "--inhibited=yes", "--screensaver=yes"}, false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeServices services(row.services);
    ASSERT_TRUE(services.ready());
    DesktopBusyProbes probes;
    EXPECT_EQ(probes.NotificationsSwitchedOff(), row.notificationsOff);
    EXPECT_EQ(probes.ScreenSaverActive(), row.screenSaver);
    EXPECT_EQ(IsUserBusy(nullptr, probes), row.notificationsOff || row.screenSaver);
  }
}

TEST(DesktopBusy, NoSessionBusNoQuestions) {
  FakeServices services({"--inhibited=yes", "--screensaver=yes"});
  ASSERT_TRUE(services.ready());
  const std::string address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const std::string runtime = std::getenv("XDG_RUNTIME_DIR");
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  unsetenv("XDG_RUNTIME_DIR");
  DesktopBusyProbes probes;
  const bool notificationsOff = probes.NotificationsSwitchedOff();
  const bool screenSaver = probes.ScreenSaverActive();
  setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  EXPECT_FALSE(notificationsOff);
  EXPECT_FALSE(screenSaver);
  // The same probes with the bus named again see the services.
  EXPECT_TRUE(probes.ScreenSaverActive());
}

// Sets a 32-bit property as a window manager does: the root window's active window, a
// window's state list.
void SetProperty(uint32_t window, const char* name, xcb_atom_t type,
                 const std::vector<uint32_t>& values) {
  int screenNumber = 0;
  xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
  ASSERT_FALSE(xcb_connection_has_error(connection));
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
  xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
      connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name),
      nullptr);
  ASSERT_NE(atom, nullptr);
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window ? window : screen->root, atom->atom,
                      type, 32, static_cast<uint32_t>(values.size()), values.data());
  std::free(atom);
  // A round trip: the change is made before anyone else asks.
  std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
  xcb_disconnect(connection);
}

void SetActiveWindow(uint32_t window) {
  SetProperty(0, "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW, {window});
}

xcb_atom_t AtomNamed(const char* name) {
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
      connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name),
      nullptr);
  const xcb_atom_t result = atom ? atom->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
  std::free(atom);
  xcb_disconnect(connection);
  return result;
}

TEST(DesktopBusy, TheActiveWindowInFullScreen) {
  QWidget fullScreen;
  fullScreen.setWindowTitle(QStringLiteral("Presentation"));
  fullScreen.showFullScreen();
  QWidget normal;
  normal.setWindowTitle(QStringLiteral("Editor"));
  normal.resize(300, 200);
  normal.show();
  QApplication::processEvents();
  QApplication::sync();
  // Without a window manager on the display the test keeps the states as one would.
  SetProperty(static_cast<uint32_t>(fullScreen.winId()), "_NET_WM_STATE", XCB_ATOM_ATOM,
              {AtomNamed("_NET_WM_STATE_ABOVE"), AtomNamed("_NET_WM_STATE_FULLSCREEN")});
  SetProperty(static_cast<uint32_t>(normal.winId()), "_NET_WM_STATE", XCB_ATOM_ATOM,
              {AtomNamed("_NET_WM_STATE_MAXIMIZED_VERT")});

  struct Row {
    const char* name;
    uint32_t active;
    bool busy;
  };
  const Row rows[] = {
      {"a full-screen window is active", static_cast<uint32_t>(fullScreen.winId()), true},
      {"a normal window is active", static_cast<uint32_t>(normal.winId()), false},
      {"no active window", 0, false},
  };
  DesktopBusyProbes probes;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetActiveWindow(row.active);
    EXPECT_EQ(probes.ActiveWindowFullScreen(), row.busy);
  }
  // On Wayland the state cannot be seen.
  setenv("WAYLAND_DISPLAY", "wayland-0", 1);
  SetActiveWindow(static_cast<uint32_t>(fullScreen.winId()));
  EXPECT_FALSE(probes.ActiveWindowFullScreen());
  unsetenv("WAYLAND_DISPLAY");
  SetActiveWindow(0);
}

// The largest sample magnitude in raw 16-bit little-endian audio.
int Peak(const std::string& samples) {
  int peak = 0;
  for (std::size_t i = 0; i + 1 < samples.size(); i += 2) {
    const auto value = static_cast<int16_t>(static_cast<uint8_t>(samples[i]) |
                                            (static_cast<uint8_t>(samples[i + 1]) << 8));
    peak = std::max(peak, std::abs(static_cast<int>(value)));
  }
  return peak;
}

TEST(NewMailSoundPlayback, TheDefaultSoundReachesTheSoundServer) {
  ASSERT_TRUE(session->soundRunning());
  const QString sound = QStringLiteral(TARVEL_BINARY_DIR_PATH "/bin/PianoSmooth.wav");
  ASSERT_TRUE(QFile::exists(sound));
  testing::TempFolder folder;
  const std::string capture = folder.file("capture.raw");
  testing::ChildProcess recorder;
  ASSERT_TRUE(
      recorder.Start({"parec", "-d", std::string(testing::DesktopSession::kSinkName) + ".monitor",
                      "--format=s16le", "--channels=1", "--rate=44100", "--raw"},
                     capture));
  QtSoundPlayer player;
  QSignalSpy started(&player, &QtSoundPlayer::playStarted);
  player.Play(Text::FromUtf8(sound.toStdString()));
  ASSERT_TRUE(started.wait(kWaitMs));
  EXPECT_EQ(started.constFirst().constFirst().toString(), sound);
  // Silence is all zeros; the chime peaks near a third of full scale.
  int peak = 0;
  QElapsedTimer waited;
  waited.start();
  while (peak < 3000 && waited.elapsed() < kWaitMs) {
    QTest::qWait(100);
    peak = Peak(testing::ReadFileContent(capture));
  }
  recorder.Stop();
  EXPECT_GE(peak, 3000);
}

TEST(NewMailSoundPlayback, AnUnplayableFileStaysSilent) {
  testing::TempFolder folder;
  ASSERT_TRUE(testing::WriteFileContent(folder.file("broken.wav"), "RIFF....WAVEjunk"));
  QtSoundPlayer player;
  QSignalSpy started(&player, &QtSoundPlayer::playStarted);
  player.Play(Text::FromUtf8(folder.file("broken.wav")));
  player.Play(Text::FromUtf8(folder.file("missing.wav")));
  QTest::qWait(500);
  EXPECT_EQ(started.count(), 0);
}

TEST(NewMailSoundPlayback, TheScreenSaverHoldsTheSoundBackUnlessAllowed) {
  FakeServices services({"--screensaver=yes"});
  ASSERT_TRUE(services.ready());
  for (const uint64_t allow : {0, 1}) {
    SCOPED_TRACE(allow);
    testing::TempFolder folder;
    RegistryStore registry(folder.file("registry"));
    SettingsStore settings;
    ASSERT_TRUE(settings.open(SettingsMode::Registry, &registry, kSettingsKeyPath));
    ASSERT_TRUE(settings.writeNumber(kAllowSoundInFullscreen, allow));
    DesktopBusyProbes probes;
    RecordingPlayer player;
    AlertParts parts;
    parts.registry = &registry;
    parts.settings = &settings;
    parts.busyProbes = &probes;
    parts.player = &player;
    NewMailAlerts alerts(parts);
    AlertSettings alertSettings;
    alertSettings.newMailSound = Text(u"/s/Ping.wav");
    alerts.Configure(alertSettings);
    alerts.PlayNewMailSound(0x2);
    EXPECT_EQ(player.played.size(), allow ? 1u : 0u);
  }
}

// Listens for launcher entry updates on its own connection to the bus.
class LauncherListener : public QObject {
  Q_OBJECT

 public:
  LauncherListener()
      : connection_(QDBusConnection::connectToBus(QString::fromStdString(session->busAddress()),
                                                  QStringLiteral("launcher-listener"))) {
    connection_.connect(QString(), QString(), QStringLiteral("com.canonical.Unity.LauncherEntry"),
                        QStringLiteral("Update"), this, SLOT(OnUpdate(QDBusMessage)));
    // The bus handles one connection's messages in order: once this call is answered, the
    // match rule sent before it is in place.
    connection_.call(QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId")));
  }
  ~LauncherListener() override {
    QDBusConnection::disconnectFromBus(QStringLiteral("launcher-listener"));
  }

  std::vector<QDBusMessage> updates;
  bool WaitFor(std::size_t count) {
    QElapsedTimer waited;
    waited.start();
    while (updates.size() < count && waited.elapsed() < kWaitMs)
      QTest::qWait(20);
    return updates.size() >= count;
  }

 public slots:
  void OnUpdate(const QDBusMessage& message) { updates.push_back(message); }

 private:
  QDBusConnection connection_;
};

QVariantMap Properties(const QDBusMessage& message) {
  return qdbus_cast<QVariantMap>(message.arguments().value(1));
}

TEST(UnreadCountBadge, TheLauncherEntrySignalCarriesTheCount) {
  LauncherListener listener;
  LauncherEntryPublisher publisher;
  publisher.PublishUnreadCount(5);
  publisher.PublishUnreadCount(0);
  ASSERT_TRUE(listener.WaitFor(2));
  EXPECT_EQ(listener.updates[0].arguments().value(0).toString(),
            QStringLiteral("application://tarvel.desktop"));
  EXPECT_EQ(Properties(listener.updates[0]).value(QStringLiteral("count")).toLongLong(), 5);
  EXPECT_TRUE(Properties(listener.updates[0]).value(QStringLiteral("count-visible")).toBool());
  EXPECT_EQ(Properties(listener.updates[1]).value(QStringLiteral("count")).toLongLong(), 0);
  EXPECT_FALSE(Properties(listener.updates[1]).value(QStringLiteral("count-visible")).toBool());
}

// After a check with new mail: the sound plays, the counts reach the keys and the badge.
TEST(AlertsAfterACheck, SoundKeysAndBadge) {
  constexpr uint64_t kGMailSelect = 0x80;
  testing::TempFolder folder;
  RegistryStore registry(folder.file("registry"));
  RecordingPlayer player;
  LauncherEntryPublisher publisher;
  AlertParts parts;
  parts.registry = &registry;
  parts.player = &player;
  parts.unreadCountPublisher = &publisher;
  NewMailAlerts alerts(parts);
  AlertSettings alertSettings;
  alertSettings.newMailSound = Text::FromUtf8(TARVEL_BINARY_DIR_PATH "/bin/PianoSmooth.wav");
  alerts.Configure(alertSettings);

  OptionFlags flags{kGMailSelect};
  AccountTypeList accounts{flags, testing::ScriptedEngineFactory()};
  testing::ScriptedEngine& gmail = testing::Scripted(accounts, 0x2);
  gmail.accountName = Text(u"alice@gmail.com");
  gmail.queue({CheckStatus::Success,
               {{"Bob", "Lunch", "INBOX", "2026-12-10T10:00:00Z"},
                {"Carol", "Plans", "INBOX", "2026-12-10T11:00:00Z"}}});
  AlertsNotifier notifier(alerts, [&accounts] { return &accounts; });
  ManualMainWindow window;
  testing::FakeLoginRunner login;
  testing::FakeClock clock;
  NullTrace trace;
  CheckCycle cycle(accounts, window, notifier, login, clock, trace);

  LauncherListener listener;
  cycle.CheckAll(CheckTrigger::Manual);

  EXPECT_EQ(player.played, std::vector<std::string>{TARVEL_BINARY_DIR_PATH "/bin/PianoSmooth.wav"});
  const std::optional<RegistryValue> count =
      registry.ReadValue(std::string(kUnreadMailKey) + "\\alice@gmail.com", "MessageCount");
  ASSERT_TRUE(count);
  EXPECT_EQ(count->AsNumber(), 2u);
  EXPECT_FALSE(registry.KeyExists(kUnreadMailProgramKey));
  ASSERT_TRUE(listener.WaitFor(1));
  EXPECT_EQ(Properties(listener.updates[0]).value(QStringLiteral("count")).toLongLong(), 2);

  // Silenced: the tray update still publishes the counts, the sound stays off.
  cycle.SilenceFor(5);
  gmail.queue({CheckStatus::Success, {{"Dave", "News", "INBOX", "2026-12-10T12:00:00Z"}}});
  cycle.CheckAll(CheckTrigger::Manual);
  EXPECT_EQ(player.played.size(), 1u);
  EXPECT_EQ(registry.ReadValue(std::string(kUnreadMailKey) + "\\alice@gmail.com", "MessageCount")
                ->AsNumber(),
            1u);
}

TEST(CustomPictures, IconsAndScaledPictures) {
  testing::TempFolder folder;
  QImage wide(40, 20, QImage::Format_ARGB32);
  wide.fill(Qt::red);
  ASSERT_TRUE(wide.save(QString::fromStdString(folder.file("PictureNoMails.png"))));
  QImage icon(32, 32, QImage::Format_ARGB32);
  icon.fill(Qt::blue);
  QImageWriter writer(QString::fromStdString(folder.file("picturemails.ICO")), "ico");
  ASSERT_TRUE(writer.write(icon)) << writer.errorString().toStdString();

  const CustomPictures pictures = LoadCustomPictures(QString::fromStdString(folder.path()), 16);
  ASSERT_FALSE(pictures.noMails.isNull());
  EXPECT_EQ(pictures.noMails.size(), QSize(16, 16));
  // 40 x 20 keeps its proportions: 16 x 8 in the middle of the square.
  EXPECT_EQ(pictures.noMails.pixelColor(8, 8), QColor(Qt::red));
  EXPECT_EQ(pictures.noMails.pixelColor(8, 1).alpha(), 0);
  ASSERT_FALSE(pictures.mails.isNull());
  EXPECT_EQ(pictures.mails.size(), QSize(16, 16));
  EXPECT_EQ(pictures.mails.pixelColor(8, 8), QColor(Qt::blue));
  EXPECT_TRUE(pictures.mailsIsIcon);
}

TEST(CustomPictures, MissingAndBrokenPictures) {
  testing::TempFolder folder;
  ASSERT_TRUE(testing::WriteFileContent(folder.file("PictureMails.png"), "not a picture"));
  const CustomPictures pictures = LoadCustomPictures(QString::fromStdString(folder.path()), 16);
  EXPECT_TRUE(pictures.noMails.isNull());
  EXPECT_TRUE(pictures.mails.isNull());
  EXPECT_FALSE(pictures.mailsIsIcon);
}

}  // namespace
}  // namespace tarvel

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (::testing::GTEST_FLAG(list_tests))
    return RUN_ALL_TESTS();
  tarvel::testing::DesktopSession session;
  const std::string failure = session.Start(true);
  if (!failure.empty()) {
    std::fprintf(stderr, "desktop session: %s\n", failure.c_str());
    return 1;
  }
  tarvel::session = &session;
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  QApplication application(argc, argv);
  return RUN_ALL_TESTS();
}

#include "alerts_desktop_test.moc"
