// The tray icon of the running program as a desktop meets it: on an X server with a
// StatusNotifierWatcher on a private session bus (properties and menu read over D-Bus, as a
// panel reads them), and docked in an XEmbed tray when no watcher runs.
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QMap>
#include <QProcess>
#include <QRect>
#include <QThread>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "tests/support/dovecot_server.h"
#include "tests/support/oauth_authorization_server.h"
#include "tests/support/program_desktop.h"
#include "tests/support/temp_folder.h"

namespace {

// Generous: the program, the tray host and the X tools share two cores with the other desktop
// tests (a browser among them); a wait ends as soon as its condition holds.
constexpr int kWaitMs = 60'000;

const QString kItemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString kMenuInterface = QStringLiteral("com.canonical.dbusmenu");

using tarvel::testing::WaitUntil;

struct IconPixmap {
  int width = 0;
  int height = 0;
  QByteArray argb;  // big-endian ARGB32
};

std::vector<IconPixmap> ReadPixmaps(const QDBusArgument& argument) {
  std::vector<IconPixmap> pixmaps;
  argument.beginArray();
  while (!argument.atEnd()) {
    IconPixmap pixmap;
    argument.beginStructure();
    argument >> pixmap.width >> pixmap.height >> pixmap.argb;
    argument.endStructure();
    pixmaps.push_back(pixmap);
  }
  argument.endArray();
  return pixmaps;
}

QImage ToImage(const IconPixmap& pixmap) {
  QImage image(pixmap.width, pixmap.height, QImage::Format_ARGB32);
  if (pixmap.argb.size() < pixmap.width * pixmap.height * 4)
    return {};
  const auto* bytes = reinterpret_cast<const uchar*>(pixmap.argb.constData());
  for (int y = 0; y < pixmap.height; ++y) {
    for (int x = 0; x < pixmap.width; ++x) {
      const uchar* p = bytes + 4 * (y * pixmap.width + x);
      image.setPixel(x, y, qRgba(p[1], p[2], p[3], p[0]));
    }
  }
  return image;
}

// One node of a dbusmenu layout.
struct MenuNode {
  int id = 0;
  QString label;
  QString type;
  std::vector<MenuNode> children;
};

MenuNode ReadMenuNode(const QDBusArgument& argument) {
  MenuNode node;
  QVariantMap properties;
  argument.beginStructure();
  argument >> node.id >> properties;
  argument.beginArray();
  while (!argument.atEnd()) {
    QDBusVariant child;
    argument >> child;
    node.children.push_back(ReadMenuNode(child.variant().value<QDBusArgument>()));
  }
  argument.endArray();
  argument.endStructure();
  node.label = properties.value("label").toString().remove('&');
  node.type = properties.value("type").toString();
  return node;
}

const MenuNode* FindLabel(const MenuNode& node, const QString& prefix) {
  if (node.label.startsWith(prefix))
    return &node;
  for (const MenuNode& child : node.children) {
    if (const MenuNode* found = FindLabel(child, prefix))
      return found;
  }
  return nullptr;
}

std::string Message(const std::string& subject) {
  return "From: Alice Example <alice@example.com>\r\nSubject: " + subject + "\r\n\r\nbody\r\n";
}

// An X server, a private session bus and, when asked, the fake tray host on it; and the
// program started inside them with a settings folder of its own.
class TrayProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tarvel::testing::ProgramDesktop::Options options;
    options.screen = screen_;
    ASSERT_EQ(desktop_.Start(options), "");
  }

  // The program first, so it leaves while its bus and display are still there.
  void TearDown() override { desktop_.Stop(); }

  QProcessEnvironment Environment() const { return desktop_.Environment(); }
  QProcess& Start(const QString& program, const QStringList& arguments) {
    QProcess& process = desktop_.Launch(program, arguments);
    EXPECT_NE(process.state(), QProcess::NotRunning) << program.toStdString();
    return process;
  }
  int CountInTrace(const char* entry) const { return desktop_.CountInTrace(entry); }
  QString TraceText() const { return desktop_.TraceText(); }
  QProcess& StartTrayHost() { return desktop_.StartTrayHost(); }
  QStringList RegisteredItems() const { return desktop_.RegisteredItems(); }
  void WriteSetting(const std::string& name, const std::string& value, const char* kind) {
    ASSERT_TRUE(desktop_.WriteSetting(
        {QString::fromStdString(name), QString::fromStdString(value), QString::fromLatin1(kind)}))
        << name;
  }
  QProcess& StartProgram() { return desktop_.StartProgram(); }
  QVariant ItemProperty(const QString& item, const QString& name) const {
    return desktop_.ItemProperty(item, name);
  }
  QString ToolTip(const QString& item) const { return desktop_.ToolTip(item); }

  QImage Icon(const QString& item, int size) const {
    const QVariant value = ItemProperty(item, "IconPixmap");
    if (!value.canConvert<QDBusArgument>())
      return {};
    for (const IconPixmap& pixmap : ReadPixmaps(value.value<QDBusArgument>())) {
      if (pixmap.width == size)
        return ToImage(pixmap);
    }
    return {};
  }

  MenuNode Menu(const QString& item) const {
    const QString path = ItemProperty(item, "Menu").value<QDBusObjectPath>().path();
    QDBusMessage show = QDBusMessage::createMethodCall(item, path, kMenuInterface, "AboutToShow");
    show << 0;
    desktop_.bus().call(show, QDBus::Block, 5000);
    QDBusMessage call = QDBusMessage::createMethodCall(item, path, kMenuInterface, "GetLayout");
    call << 0 << -1 << QStringList();
    const QDBusMessage reply = desktop_.bus().call(call, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() < 2)
      return {};
    return ReadMenuNode(reply.arguments().at(1).value<QDBusArgument>());
  }

  // Clicks a menu entry as a panel does.
  bool Click(const QString& item, int id) const {
    const QString path = ItemProperty(item, "Menu").value<QDBusObjectPath>().path();
    QDBusMessage call = QDBusMessage::createMethodCall(item, path, kMenuInterface, "Event");
    call << id << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0))
         << static_cast<uint>(QDateTime::currentSecsSinceEpoch());
    return desktop_.bus().call(call, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage;
  }

  // The titles of the top-level windows on the display.
  QString WindowTitles() const {
    QProcess list;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", desktop_.display());
    list.setProcessEnvironment(environment);
    list.start("xwininfo", {"-root", "-children"});
    if (!list.waitForFinished(5000))
      return {};
    return QString::fromUtf8(list.readAllStandardOutput());
  }

  QString screen_ = "800x600x24";
  tarvel::testing::TempFolder folder_;
  tarvel::testing::ProgramDesktop desktop_{folder_};
};

TEST_F(TrayProgramTest, ItemShowsTheCountAfterACheckAndItsMenuDrivesTheProgram) {
  tarvel::testing::DovecotServer server;
  ASSERT_TRUE(server.started());
  ::setenv("TARVEL_CA_FILE", server.caFile().c_str(), 1);
  ::setenv("TARVEL_CONNECT_TO", server.connectTo().c_str(), 1);
  // IMAP #1 and IMAP #2 on the default option word (Hotmail White icons, popup announcements).
  WriteSetting("Flags", std::to_string(0x1010 | 0x1000000 | 0x4000000), "--number");
  ASSERT_TRUE(desktop_.WriteImapAccount(1, "tester"));
  ASSERT_TRUE(desktop_.WriteImapAccount(2, "second"));

  StartTrayHost();
  QProcess& program = StartProgram();
  ASSERT_TRUE(WaitUntil([&] { return !RegisteredItems().isEmpty(); }));
  const QString item = RegisteredItems().last();

  // The first check finds no mail.
  ASSERT_TRUE(WaitUntil([&] { return ToolTip(item).startsWith("No unread mails"); }))
      << ToolTip(item).toStdString();
  EXPECT_EQ(ToolTip(item), "No unread mails - Tarvel E-Mail Notifier");
  const QImage noMail = Icon(item, 22);
  ASSERT_FALSE(noMail.isNull());

  // The menu: both IMAP accounts, then the commands.
  const MenuNode menu = Menu(item);
  ASSERT_GE(menu.children.size(), 7u);
  EXPECT_EQ(menu.children[2].type, "separator");
  const MenuNode* checkNow = FindLabel(menu, "Check Now");
  const MenuNode* silence = FindLabel(menu, "Silence");
  ASSERT_NE(checkNow, nullptr);
  ASSERT_NE(silence, nullptr);
  EXPECT_EQ(silence->label, "Silence");
  EXPECT_EQ(silence->children.size(), 8u);
  EXPECT_NE(FindLabel(menu, "Options"), nullptr);
  EXPECT_NE(FindLabel(menu, "Exit"), nullptr);

  // Three unread mails arrive; "Check Now" from the menu finds them.
  ASSERT_TRUE(server.Deliver("tester", "INBOX", Message("first")));
  ASSERT_TRUE(server.Deliver("tester", "INBOX", Message("second")));
  ASSERT_TRUE(server.Deliver("second", "INBOX", Message("third")));
  ASSERT_TRUE(Click(item, checkNow->id));
  ASSERT_TRUE(WaitUntil([&] { return ToolTip(item).startsWith("3 new mails"); }))
      << ToolTip(item).toStdString();
  const QString tip = ToolTip(item);
  EXPECT_TRUE(tip.startsWith("3 new mails - Tarvel E-Mail Notifier")) << tip.toStdString();
  // The mail lines follow on lines of their own.
  EXPECT_TRUE(tip.contains("Tarvel E-Mail Notifier\n\n")) << tip.toStdString();
  EXPECT_TRUE(tip.contains("first")) << tip.toStdString();
  EXPECT_FALSE(tip.contains('\r')) << tip.toStdString();

  // The icon changed and carries a white digit.
  const QImage withMail = Icon(item, 22);
  ASSERT_FALSE(withMail.isNull());
  EXPECT_NE(withMail, noMail);
  int white = 0;
  for (int y = 0; y < 22; ++y) {
    for (int x = 0; x < 22; ++x)
      white += withMail.pixel(x, y) == qRgba(255, 255, 255, 255) ? 1 : 0;
  }
  EXPECT_GT(white, 10);
  const QString images = qEnvironmentVariable("TARVEL_IMAGE_DIR");
  if (!images.isEmpty()) {
    noMail.save(images + "/item-no-mail-22.png");
    withMail.save(images + "/item-three-mails-22.png");
    Icon(item, 44).save(images + "/item-three-mails-44.png");
  }

  // A double click on the item, as a panel reports it: the readers open once.
  for (int click = 0; click < 2; ++click) {
    QDBusMessage activate =
        QDBusMessage::createMethodCall(item, "/StatusNotifierItem", kItemInterface, "Activate");
    activate << 0 << 0;
    ASSERT_EQ(desktop_.bus().call(activate, QDBus::Block, 5000).type(), QDBusMessage::ReplyMessage);
  }
  ASSERT_TRUE(WaitUntil([&] { return CountInTrace("OpenReaders") >= 1; }));
  QCoreApplication::processEvents(QEventLoop::AllEvents, 300);
  EXPECT_EQ(CountInTrace("OpenReaders"), 1);

  // Silence for five minutes: the submenu's text shows it.
  const MenuNode* fiveMinutes = FindLabel(menu, "For 5 Minutes");
  ASSERT_NE(fiveMinutes, nullptr);
  ASSERT_TRUE(Click(item, fiveMinutes->id));
  ASSERT_TRUE(WaitUntil([&] {
    const MenuNode now = Menu(item);
    const MenuNode* found = FindLabel(now, "Silence");
    return found != nullptr && found->label == "Silence - For 5 Minutes";
  }));

  // Exit from the menu ends the program cleanly.
  const MenuNode* exit = FindLabel(Menu(item), "Exit");
  ASSERT_NE(exit, nullptr);
  ASSERT_TRUE(Click(item, exit->id));
  ASSERT_TRUE(program.waitForFinished(kWaitMs));
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0);
  ::unsetenv("TARVEL_CA_FILE");
  ::unsetenv("TARVEL_CONNECT_TO");
}

// A new mail announced as a desktop notification: a click on another program's notification
// opens nothing, a click on ours opens the readers once, however the desktop reports it (our
// own ActionInvoked handler and Qt's tray message both hear the signal).
TEST_F(TrayProgramTest, OnlyAClickOnOurOwnNotificationOpensTheReadersAndOnlyOnce) {
  tarvel::testing::DovecotServer server;
  ASSERT_TRUE(server.started());
  ::setenv("TARVEL_CA_FILE", server.caFile().c_str(), 1);
  ::setenv("TARVEL_CONNECT_TO", server.connectTo().c_str(), 1);
  // IMAP #1, notices as desktop notifications (the popup option off).
  WriteSetting("Flags", std::to_string(0x10 | 0x1000000), "--number");
  ASSERT_TRUE(desktop_.WriteImapAccount(1, "tester"));

  StartTrayHost();
  const QString notices = QString::fromStdString(folder_.file("notify.jsonl"));
  QProcess& notificationServer =
      Start("/usr/bin/python3",
            {QStringLiteral(TARVEL_SOURCE_DIR_PATH "/tests/ui/notice/fake_notification_server.py"),
             notices});
  ASSERT_TRUE(WaitUntil(
      [&] { return notificationServer.canReadLine() || notificationServer.waitForReadyRead(50); }));
  StartProgram();
  ASSERT_TRUE(WaitUntil([&] { return !RegisteredItems().isEmpty(); }));
  const QString item = RegisteredItems().last();
  ASSERT_TRUE(WaitUntil([&] { return ToolTip(item).startsWith("No unread mails"); }));
  // A mail arrives; "Check Now" finds it and announces it as a notification.
  const std::string date = QDateTime::currentDateTimeUtc().toString(Qt::RFC2822Date).toStdString();
  ASSERT_TRUE(server.Deliver("tester", "INBOX",
                             "From: Ann <ann@example.com>\r\nDate: " + date +
                                 "\r\nSubject: Lunch <b>now</b>\r\n\r\nbody\r\n"));
  const MenuNode* checkNow = FindLabel(Menu(item), "Check Now");
  ASSERT_NE(checkNow, nullptr);
  ASSERT_TRUE(Click(item, checkNow->id));
  ASSERT_TRUE(WaitUntil([&] { return ToolTip(item).startsWith("1 new mail"); }))
      << ToolTip(item).toStdString();
  uint id = 0;
  ASSERT_TRUE(WaitUntil([&] {
    QFile file(notices);
    if (!file.open(QIODevice::ReadOnly))
      return false;
    const QByteArray line = file.readLine();
    const int at = line.indexOf("\"id\": ");
    if (at < 0)
      return false;
    id = line.mid(at + 6, line.indexOf(',', at) - at - 6).toUInt();
    return id != 0;
  })) << TraceText().toStdString();
  const auto invoke = [&](uint notification) {
    QDBusMessage call =
        QDBusMessage::createMethodCall("org.example.FakeDesktop", "/org/freedesktop/Notifications",
                                       "org.example.FakeDesktop", "InvokeAction");
    call << notification << QStringLiteral("default");
    return desktop_.bus().call(call, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage;
  };
  // Someone else's notification.
  ASSERT_TRUE(invoke(id + 7));
  EXPECT_FALSE(WaitUntil([&] { return CountInTrace("OpenReaders") > 0; }, 1500));
  // Ours.
  ASSERT_TRUE(invoke(id));
  ASSERT_TRUE(WaitUntil([&] { return CountInTrace("OpenReaders") >= 1; }));
  QCoreApplication::processEvents(QEventLoop::AllEvents, 500);
  EXPECT_FALSE(WaitUntil([&] { return CountInTrace("OpenReaders") > 1; }, 1000));
  EXPECT_EQ(CountInTrace("OpenReaders"), 1);
  ::unsetenv("TARVEL_CA_FILE");
  ::unsetenv("TARVEL_CONNECT_TO");
}

// A refused password: the tooltip's last line and the account's menu item say which account
// failed and why, in the engine's words; the other account still shows its mail.
TEST_F(TrayProgramTest, AFailedAccountSaysWhichAndWhyInTheTooltipAndTheMenu) {
  tarvel::testing::DovecotServer server;
  ASSERT_TRUE(server.started());
  ::setenv("TARVEL_CA_FILE", server.caFile().c_str(), 1);
  ::setenv("TARVEL_CONNECT_TO", server.connectTo().c_str(), 1);
  WriteSetting("Flags", std::to_string(0x1010 | 0x1000000 | 0x4000000), "--number");
  ASSERT_TRUE(desktop_.WriteImapAccount(1, "tester", "wrong"));
  ASSERT_TRUE(desktop_.WriteImapAccount(2, "second"));
  ASSERT_TRUE(server.Deliver("second", "INBOX", Message("third")));

  StartTrayHost();
  StartProgram();
  ASSERT_TRUE(WaitUntil([&] { return !RegisteredItems().isEmpty(); }));
  const QString item = RegisteredItems().last();
  ASSERT_TRUE(WaitUntil([&] { return ToolTip(item).contains("tester: "); }))
      << ToolTip(item).toStdString();
  const QString tip = ToolTip(item);
  EXPECT_TRUE(tip.startsWith("1 new mail - Tarvel E-Mail Notifier")) << tip.toStdString();
  const QString lastLine = tip.split('\n').last();
  EXPECT_TRUE(lastLine.startsWith("tester: ")) << tip.toStdString();
  EXPECT_TRUE(lastLine.contains("refused") || lastLine.contains("fail")) << tip.toStdString();
  EXPECT_TRUE(tip.contains("third")) << tip.toStdString();
  const MenuNode menu = Menu(item);
  const MenuNode* failed = FindLabel(menu, "tester");
  ASSERT_NE(failed, nullptr);
  EXPECT_EQ(failed->label, lastLine);
  const MenuNode* working = FindLabel(menu, "second");
  ASSERT_NE(working, nullptr);
  EXPECT_EQ(working->label, "second");
  const QString images = qEnvironmentVariable("TARVEL_IMAGE_DIR");
  if (!images.isEmpty()) {
    QFile out(images + "/failed-account-tooltip.txt");
    if (out.open(QIODevice::WriteOnly))
      out.write(tip.toUtf8());
  }
  ::unsetenv("TARVEL_CA_FILE");
  ::unsetenv("TARVEL_CONNECT_TO");
}

TEST_F(TrayProgramTest, ItemRegistersAgainWhenTheTrayHostComesBack) {
  QProcess* host = &StartTrayHost();
  StartProgram();
  ASSERT_TRUE(WaitUntil([&] { return RegisteredItems().size() == 1; }));
  ASSERT_TRUE(WaitUntil([&] { return !ToolTip(RegisteredItems().last()).isEmpty(); }));

  host->kill();
  ASSERT_TRUE(host->waitForFinished(5000));
  StartTrayHost();
  ASSERT_TRUE(WaitUntil([&] { return RegisteredItems().size() >= 2; }));
  // Once: a second item would be a second icon on the panel.
  QCoreApplication::processEvents(QEventLoop::AllEvents, 500);
  EXPECT_EQ(RegisteredItems().size(), 2);
  const QString item = RegisteredItems().last();
  EXPECT_TRUE(WaitUntil([&] { return ToolTip(item).endsWith("Tarvel E-Mail Notifier"); }))
      << ToolTip(item).toStdString();
  EXPECT_NE(FindLabel(Menu(item), "Check Now"), nullptr);
}

// Finds the program's docked icon window in the X tree; empty when there is none.
QString IconWindow(const QProcessEnvironment& environment) {
  QProcess tree;
  tree.setProcessEnvironment(environment);
  tree.start("xwininfo", {"-root", "-tree"});
  tree.waitForFinished(10'000);
  for (const QByteArray& line : tree.readAllStandardOutput().split('\n')) {
    // The program's titled windows (the options dialog a start without accounts opens) are
    // not the icon.
    if (line.contains("(\"tarvel\"") && !line.contains("Tarvel E-Mail Notifier ["))
      return QString::fromLatin1(line.trimmed().split(' ').first());
  }
  return {};
}

// True once trayer's panel window is in the X tree.
bool TrayPanelShown(const QProcessEnvironment& environment) {
  QProcess tree;
  tree.setProcessEnvironment(environment);
  tree.start("xwininfo", {"-root", "-tree"});
  tree.waitForFinished(10'000);
  return tree.readAllStandardOutput().contains("(\"panel\" \"trayer\")");
}

QString ParentWindow(const QProcessEnvironment& environment, const QString& window) {
  QProcess info;
  info.setProcessEnvironment(environment);
  info.start("xwininfo", {"-id", window, "-tree"});
  info.waitForFinished(10'000);
  for (const QByteArray& line : info.readAllStandardOutput().split('\n')) {
    const int at = line.indexOf("Parent window id: ");
    if (at >= 0)
      return QString::fromLatin1(line.mid(at + 18).trimmed().split(' ').first());
  }
  return {};
}

QString RootWindow(const QProcessEnvironment& environment) {
  QProcess info;
  info.setProcessEnvironment(environment);
  info.start("xwininfo", {"-root"});
  info.waitForFinished(10'000);
  const QByteArray output = info.readAllStandardOutput();
  const int at = output.indexOf("Window id: ");
  return at < 0 ? QString() : QString::fromLatin1(output.mid(at + 11).split(' ').first());
}

TEST_F(TrayProgramTest, WithoutAWatcherTheIconDocksInAnXEmbedTrayAndFollowsItsRestart) {
  const QStringList trayerArguments = {"--edge",  "top", "--align",  "right",
                                       "--width", "10",  "--height", "24"};
  QProcess* trayer = &Start("trayer", trayerArguments);
  const QProcessEnvironment environment = Environment();
  // The program starts once the tray has its panel, so this first part sees the plain docking;
  // a tray that comes later is the restart below.
  ASSERT_TRUE(WaitUntil([&] { return TrayPanelShown(environment); }));
  StartProgram();
  const QString root = RootWindow(environment);
  ASSERT_FALSE(root.isEmpty());
  QString icon;
  QString parent;
  ASSERT_TRUE(WaitUntil([&] {
    icon = IconWindow(environment);
    parent = icon.isEmpty() ? QString() : ParentWindow(environment, icon);
    return !parent.isEmpty() && parent != root;
  })) << "icon window "
      << icon.toStdString() << " parent " << parent.toStdString();

  // The tray restarts: the icon leaves the old one and docks in the new one. The new tray's
  // windows may get the ids the old one had (the X server reuses a gone client's ids), so the
  // undocking is seen first rather than a different parent afterwards.
  trayer->kill();
  ASSERT_TRUE(trayer->waitForFinished(5000));
  ASSERT_TRUE(WaitUntil([&] {
    icon = IconWindow(environment);
    parent = icon.isEmpty() ? QString() : ParentWindow(environment, icon);
    return parent.isEmpty() || parent == root;
  })) << "icon window "
      << icon.toStdString() << " still in " << parent.toStdString();
  Start("trayer", trayerArguments);
  QString newParent;
  EXPECT_TRUE(WaitUntil([&] {
    icon = IconWindow(environment);
    newParent = icon.isEmpty() ? QString() : ParentWindow(environment, icon);
    return !newParent.isEmpty() && newParent != root;
  })) << "icon window "
      << icon.toStdString() << " parent " << newParent.toStdString();
}

}  // namespace

TEST_F(TrayProgramTest, WithTheOptionSetTheMailListWindowOpensAtStart) {
  tarvel::testing::DovecotServer server;
  ASSERT_TRUE(server.started());
  ::setenv("TARVEL_CA_FILE", server.caFile().c_str(), 1);
  ::setenv("TARVEL_CONNECT_TO", server.connectTo().c_str(), 1);
  // IMAP #1 and the option "Show static mail list window".
  WriteSetting("Flags", std::to_string(0x1010 | 0x1000000 | 0x80000), "--number");
  ASSERT_TRUE(desktop_.WriteImapAccount(1, "tester"));
  ASSERT_TRUE(server.Deliver("tester", "INBOX", Message("first")));

  StartTrayHost();
  QProcess& program = StartProgram();
  ASSERT_TRUE(WaitUntil([&] { return !RegisteredItems().isEmpty(); }));
  const QString item = RegisteredItems().last();
  ASSERT_TRUE(WaitUntil([&] { return WindowTitles().contains("\"Tarvel E-Mail Notifier ["); }))
      << WindowTitles().toStdString();
  ASSERT_TRUE(WaitUntil([&] { return ToolTip(item).startsWith("1 new mail"); }))
      << ToolTip(item).toStdString();

  // The program's own exit closes the window without turning the option off.
  const MenuNode* exit = FindLabel(Menu(item), "Exit");
  ASSERT_NE(exit, nullptr);
  ASSERT_TRUE(Click(item, exit->id));
  ASSERT_TRUE(program.waitForFinished(kWaitMs));
  EXPECT_EQ(program.exitCode(), 0);
  const std::string tarvelctl = TARVEL_BINARY_DIR_PATH "/bin/tarvelctl";
  std::string flags;
  ASSERT_EQ(tarvel::testing::RunProgram({tarvelctl, "settings", "get", "Flags"}, {}, &flags), 0);
  EXPECT_NE(std::stoull(flags, nullptr, 0) & 0x80000, 0u) << flags;
  ::unsetenv("TARVEL_CA_FILE");
  ::unsetenv("TARVEL_CONNECT_TO");
}

TEST_F(TrayProgramTest, WithNoAccountTheOptionsOpenAndTheMenuRaisesTheSameDialog) {
  StartTrayHost();
  QProcess& program = StartProgram();
  ASSERT_TRUE(WaitUntil([&] { return !RegisteredItems().isEmpty(); }));
  const QString item = RegisteredItems().last();
  // No account is switched on: the start opens the options dialog.
  const QString title = u"\"Tarvel E-Mail Notifier ["_qs;
  ASSERT_TRUE(WaitUntil([&] { return WindowTitles().contains(title); }))
      << WindowTitles().toStdString();
  const MenuNode* options = FindLabel(Menu(item), "Options");
  ASSERT_NE(options, nullptr);
  ASSERT_TRUE(Click(item, options->id));
  // A second request brings the same dialog forward instead of opening another.
  EXPECT_FALSE(WaitUntil([&] { return WindowTitles().count(title) > 1; }, 1000))
      << WindowTitles().toStdString();

  const MenuNode* exit = FindLabel(Menu(item), "Exit");
  ASSERT_NE(exit, nullptr);
  ASSERT_TRUE(Click(item, exit->id));
  ASSERT_TRUE(program.waitForFinished(kWaitMs));
  EXPECT_EQ(program.exitCode(), 0);
}

namespace {

// The geometry of an X window on the screen; empty when it is not mapped.
QRect WindowOnScreen(const QProcessEnvironment& environment, const QString& window) {
  QProcess info;
  info.setProcessEnvironment(environment);
  info.start("xwininfo", {"-id", window});
  info.waitForFinished(10'000);
  const QString output = QString::fromLatin1(info.readAllStandardOutput());
  if (!output.contains("Map State: IsViewable"))
    return {};
  const auto value = [&output](const QString& key) {
    const int at = output.indexOf(key);
    return at < 0 ? -1 : output.mid(at + key.size()).section('\n', 0, 0).trimmed().toInt();
  };
  return QRect(value("Absolute upper-left X:"), value("Absolute upper-left Y:"), value("Width:"),
               value("Height:"));
}

// The program's titled top-level windows (the options dialog, the mail list window).
QStringList ProgramWindows(const QProcessEnvironment& environment) {
  QProcess tree;
  tree.setProcessEnvironment(environment);
  tree.start("xwininfo", {"-root", "-children"});
  tree.waitForFinished(10'000);
  QStringList windows;
  for (const QByteArray& line : tree.readAllStandardOutput().split('\n')) {
    if (line.contains("\"Tarvel E-Mail Notifier") && line.contains("(\"tarvel\""))
      windows << QString::fromLatin1(line.trimmed().split(' ').first());
  }
  return windows;
}

// A desktop of 1280x800 pixels with an X tray and the accessibility bus.
class OptionsOnTheDesktopTest : public TrayProgramTest {
 protected:
  OptionsOnTheDesktopTest() { screen_ = "1280x800x24"; }

  // Starts the accessibility bus on the session bus; programs started later register on it.
  void StartAccessibilityBus() {
    Start("/usr/libexec/at-spi-bus-launcher", {"--launch-immediately"});
    ASSERT_TRUE(WaitUntil(
        [&] { return desktop_.bus().interface()->isServiceRegistered("org.a11y.Bus").value(); }));
    desktop_.SetEnvironment("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
  }

  // Starts trayer and waits for its panel. Trayer itself stays off the accessibility bus.
  void StartXTray() {
    desktop_.SetEnvironment("NO_AT_BRIDGE", "1");
    Start("trayer", {"--edge", "top", "--align", "right", "--width", "10", "--height", "24"});
    ASSERT_TRUE(WaitUntil([&] { return TrayPanelShown(Environment()); }));
  }

  // Waits for the program's icon to dock in the X tray; its place on the screen.
  QRect DockedIcon() {
    const QProcessEnvironment environment = Environment();
    const QString root = RootWindow(environment);
    QRect place;
    WaitUntil([&] {
      const QString icon = IconWindow(environment);
      const QString parent = icon.isEmpty() ? QString() : ParentWindow(environment, icon);
      if (parent.isEmpty() || parent == root)
        return false;
      place = WindowOnScreen(environment, icon);
      return place.isValid();
    });
    return place;
  }
};

TEST_F(OptionsOnTheDesktopTest, TheTrayMenuOpensWhileTheOptionsDialogIsOpen) {
  StartXTray();
  StartAccessibilityBus();
  // No account: the start opens the options dialog.
  QProcess& program = StartProgram();
  const QRect icon = DockedIcon();
  ASSERT_TRUE(icon.isValid());
  ASSERT_TRUE(WaitUntil([&] { return WindowTitles().contains("\"Tarvel E-Mail Notifier ["); }));

  QProcess& driver =
      Start("/usr/bin/python3",
            {QStringLiteral(TARVEL_SOURCE_DIR_PATH "/tests/ui/tray/options_tray_drive.py"),
             QString::number(icon.center().x()), QString::number(icon.center().y())});
  const bool driverEnded = driver.waitForFinished(120'000);
  const QString said =
      QString::fromUtf8(driver.readAllStandardOutput() + driver.readAllStandardError());
  ASSERT_TRUE(driverEnded) << said.toStdString();
  EXPECT_EQ(driver.exitCode(), 0) << said.toStdString();
  // "Exit" from the tray menu ended the program; OK had stored the dialog's values.
  ASSERT_TRUE(program.waitForFinished(kWaitMs)) << said.toStdString();
  EXPECT_EQ(program.exitCode(), 0);
  const std::string tarvelctl = TARVEL_BINARY_DIR_PATH "/bin/tarvelctl";
  std::string value;
  ASSERT_EQ(tarvel::testing::RunProgram({tarvelctl, "settings", "get", "RefreshTime"}, {}, &value),
            0);
  EXPECT_EQ(std::stoull(value, nullptr, 0), 0x8000002Du) << value;
  ASSERT_EQ(tarvel::testing::RunProgram({tarvelctl, "settings", "get", "CheckRange"}, {}, &value),
            0);
  EXPECT_EQ(std::stoull(value, nullptr, 0), 0xFFFFFFu & ~(1u << 3)) << value;
}

TEST_F(OptionsOnTheDesktopTest, ExitFromTheTrayWithTheDialogOpenSavesNothing) {
  StartXTray();
  StartAccessibilityBus();
  QProcess& program = StartProgram();
  const QRect icon = DockedIcon();
  ASSERT_TRUE(icon.isValid());
  ASSERT_TRUE(WaitUntil([&] { return WindowTitles().contains("\"Tarvel E-Mail Notifier ["); }));
  QProcess& driver =
      Start("/usr/bin/python3",
            {QStringLiteral(TARVEL_SOURCE_DIR_PATH "/tests/ui/tray/options_tray_drive.py"),
             QString::number(icon.center().x()), QString::number(icon.center().y()),
             "--exit-with-the-dialog-open"});
  const bool driverEnded = driver.waitForFinished(120'000);
  const QString said =
      QString::fromUtf8(driver.readAllStandardOutput() + driver.readAllStandardError());
  ASSERT_TRUE(driverEnded) << said.toStdString();
  EXPECT_EQ(driver.exitCode(), 0) << said.toStdString();
  ASSERT_TRUE(program.waitForFinished(kWaitMs)) << said.toStdString();
  EXPECT_EQ(program.exitCode(), 0);
  // The typed interval was not stored: the dialog ended as if cancelled.
  const std::string tarvelctl = TARVEL_BINARY_DIR_PATH "/bin/tarvelctl";
  std::string value;
  tarvel::testing::RunProgram({tarvelctl, "settings", "get", "RefreshTime"}, {}, &value);
  EXPECT_EQ(value.find("0x8000002D"), std::string::npos) << value;
  EXPECT_EQ(value.find(std::to_string(0x8000002Du)), std::string::npos) << value;
}

// An IMAP account on the Microsoft provider (a real authorisation server under its host name)
// signs in from its page: "Sign in" pressed through the accessibility bus opens the desktop's
// browser (xdg-open, here a stand-in that plays the user), the redirect comes back to the
// program's loopback listener, the page says "Signed in.", and after OK the check finds the
// mail on a Dovecot that accepts only the provider's tokens.
// With the device flow (Microsoft, method 2) the page shows the code and the provider's
// page; the user types the code there and the sign-in ends by polling.
// With the browser helper installed the sign-in runs in the program's login window instead
// (the provider's pages play the user there); a helper that cannot show the window leaves
// the sign-in to the desktop's browser.
class ImapSignInOnTheDesktopTest : public OptionsOnTheDesktopTest {
 protected:
  enum class Helper {
    None,     // not installed
    Working,  // the real browser helper
    Broken,   // installed, but it does not start
  };

  void SignInAndCheck(bool deviceFlow, Helper helper = Helper::None) {
    // A folder of its own: Dovecot's auth process, another user, reads the provider's CA there.
    tarvel::testing::TempFolder providerFolder;
    tarvel::testing::OAuthAuthorizationServer provider;
    if (helper == Helper::Working)
      ::setenv("TARVEL_TEST_PAGES_PLAY_THE_USER", "1", 1);
    const bool providerStarted = provider.Start(providerFolder.path(), 60);
    ::unsetenv("TARVEL_TEST_PAGES_PLAY_THE_USER");
    ASSERT_TRUE(providerStarted) << provider.log();
    const std::string conf = folder_.file("dovecot-oauth2.conf.ext");
    ASSERT_TRUE(provider.WriteDovecotSettings(conf));
    ::setenv("TARVEL_TEST_OAUTH2_CONF", conf.c_str(), 1);
    tarvel::testing::DovecotServer server;
    ::unsetenv("TARVEL_TEST_OAUTH2_CONF");
    ASSERT_TRUE(server.started());
    ASSERT_TRUE(server.Deliver("tester", "INBOX", Message("token mail")));
    const std::string bundle = folder_.file("authorities.pem");
    {
      std::ifstream a(server.caFile()), b(provider.caFile());
      std::ofstream(bundle) << a.rdbuf() << b.rdbuf();
    }
    ::setenv("TARVEL_CA_FILE", bundle.c_str(), 1);
    ::setenv("TARVEL_CONNECT_TO",
             ("login.microsoftonline.com:443:127.0.0.1:" + std::to_string(provider.port()) +
              ";outlook.office365.com:993:127.0.0.1:" + std::to_string(server.imapsPort()))
                 .c_str(),
             1);
    // The desktop's browser: an xdg-open first in PATH that plays the user in the background.
    const std::string bin = folder_.file("bin");
    std::filesystem::create_directories(bin);
    const std::string browserLog = folder_.file("browser.log");
    {
      std::ofstream script(bin + "/xdg-open");
      // The device flow's verification page is left to the user (the approver below).
      script << "#!/bin/sh\necho \"$1\" >> " << browserLog
             << "\ncase \"$1\" in */device*) exit 0;; esac\nexec python3 " << TARVEL_SOURCE_DIR_PATH
             << "/tests/support/oauth_browser.py --ca " << provider.caFile()
             << " --map login.microsoftonline.com=" << provider.port()
             << " --user tester --password s3cret \"$1\" >> " << browserLog << " 2>&1\n";
    }
    std::filesystem::permissions(bin + "/xdg-open", std::filesystem::perms::owner_all);
    desktop_.SetEnvironment("PATH",
                            QString::fromStdString(bin) + ":" + qEnvironmentVariable("PATH"));
    // The user of the device flow: types the code shown on the page at the provider's page.
    const std::string approver = bin + "/approve";
    {
      std::ofstream script(approver);
      script << "#!/bin/sh\nexec python3 " << TARVEL_SOURCE_DIR_PATH
             << "/tests/support/oauth_browser.py --ca " << provider.caFile()
             << " --map login.microsoftonline.com=" << provider.port()
             << " --user tester --password s3cret --user-code \"$2\" \"$1\" >> " << browserLog
             << " 2>&1\n";
    }
    std::filesystem::permissions(approver, std::filesystem::perms::owner_all);
    switch (helper) {
      case Helper::None:
        desktop_.SetEnvironment("TARVEL_BROWSER_HELPER",
                                QString::fromStdString(folder_.file("no-browser-helper")));
        break;
      case Helper::Working:
#ifdef TARVEL_BROWSER_HELPER_PATH
        desktop_.SetEnvironment("TARVEL_BROWSER_HELPER", TARVEL_BROWSER_HELPER_PATH);
        if (::geteuid() == 0)
          desktop_.SetEnvironment("QTWEBENGINE_DISABLE_SANDBOX", "1");
        desktop_.SetEnvironment("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu");
        break;
#else
        GTEST_SKIP() << "the browser helper is not built";
#endif
      case Helper::Broken: {
        const std::string broken = bin + "/broken-browser-helper";
        std::ofstream(broken) << "#!/bin/sh\nexit 1\n";
        std::filesystem::permissions(broken, std::filesystem::perms::owner_all);
        desktop_.SetEnvironment("TARVEL_BROWSER_HELPER", QString::fromStdString(broken));
        break;
      }
    }
    // The account, switched off: the options open at start.
    WriteSetting("IMAPServer", "outlook.office365.com:993", "--text");
    WriteSetting("IMAPUser", "tester", "--protected");
    WriteSetting("IMAPAuthMethod1", deviceFlow ? "2" : "1", "--number");
    WriteSetting("IMAPUseIDLECommand1", "0", "--number");
    WriteSetting("OAuth2ClientIdMicrosoft", deviceFlow ? "device-client" : "code-client", "--text");
    if (!deviceFlow)
      WriteSetting("OAuth2ClientSecretMicrosoft", "code-secret", "--text");

    StartTrayHost();
    StartAccessibilityBus();
    QProcess& program = StartProgram();
    ASSERT_TRUE(WaitUntil([&] { return !RegisteredItems().isEmpty(); }));
    const QString item = RegisteredItems().last();
    ASSERT_TRUE(WaitUntil([&] { return WindowTitles().contains("\"Tarvel E-Mail Notifier ["); }));

    const QString go = QString::fromStdString(folder_.file("go"));
    QStringList driverArguments = {
        QStringLiteral(TARVEL_SOURCE_DIR_PATH "/tests/ui/tray/imap_sign_in_drive.py"), go};
    if (deviceFlow)
      driverArguments << "--device" << QString::fromStdString(approver);
    QProcess& driver = Start("/usr/bin/python3", driverArguments);
    QString said;
    const bool signedIn = WaitUntil([&] {
      said += QString::fromUtf8(driver.readAllStandardOutput() + driver.readAllStandardError());
      return said.contains("signed in\n") || driver.state() == QProcess::NotRunning;
    });
    const auto browsed = [&] {
      std::ifstream in(browserLog);
      return std::string(std::istreambuf_iterator<char>(in), {});
    };
    ASSERT_TRUE(signedIn && said.contains("signed in\n"))
        << said.toStdString() << browsed() << TraceText().toStdString();
    // The page with the sign-in's status, for a person to look at.
    const QString images = qEnvironmentVariable("TARVEL_IMAGE_DIR");
    if (!images.isEmpty() && QFile::exists("/usr/bin/import")) {
      QProcess shot;
      shot.setProcessEnvironment(Environment());
      shot.start("/usr/bin/import", {"-window", "root",
                                     images +
                                         (deviceFlow ? "/imap-device-sign-in-program-scale-"
                                                     : "/imap-sign-in-program-scale-") +
                                         qEnvironmentVariable("QT_SCALE_FACTOR", "1") + ".png"});
      shot.waitForFinished(20'000);
    }
    QFile(go).open(QIODevice::WriteOnly);
    ASSERT_TRUE(driver.waitForFinished(60'000)) << said.toStdString();
    said += QString::fromUtf8(driver.readAllStandardOutput() + driver.readAllStandardError());
    EXPECT_EQ(driver.exitCode(), 0) << said.toStdString();
    // The desktop's browser signs in unless the login window did.
    EXPECT_EQ(browsed().find(
                  deviceFlow ? "https://login.microsoftonline.com/device"
                             : "https://login.microsoftonline.com/common/oauth2/v2.0/authorize?") !=
                  std::string::npos,
              helper != Helper::Working)
        << browsed();
    const QString trace = TraceText();
    EXPECT_EQ(trace.contains("] LoginWindowSignedIn\n"), helper == Helper::Working)
        << trace.toStdString();
    EXPECT_EQ(trace.contains("] SignInWindowNotShownUsingTheDesktopBrowser\n"),
              helper == Helper::Broken)
        << trace.toStdString();
    if (deviceFlow) {
      EXPECT_TRUE(said.contains("device code ")) << said.toStdString();
    }

    // OK switched the account on; its check uses the stored sign-in and finds the mail.
    ASSERT_TRUE(WaitUntil([&] { return ToolTip(item).contains("token mail"); }))
        << ToolTip(item).toStdString() << TraceText().toStdString();
    EXPECT_TRUE(
        TraceText().contains(deviceFlow ? "OAuth2 IMAP1: the device sign-in gave a new access token"
                                        : "OAuth2 IMAP1: the sign-in gave a new access token"))
        << TraceText().toStdString();
    program.terminate();
    EXPECT_TRUE(program.waitForFinished(kWaitMs));
    ::unsetenv("TARVEL_CA_FILE");
    ::unsetenv("TARVEL_CONNECT_TO");
  }
};

TEST_F(ImapSignInOnTheDesktopTest, CodeFlowInTheDesktopsBrowserThenTheCheckFindsTheMail) {
  SignInAndCheck(false);
}

TEST_F(ImapSignInOnTheDesktopTest, DeviceFlowShowsTheCodeThenTheCheckFindsTheMail) {
  SignInAndCheck(true);
}

TEST_F(ImapSignInOnTheDesktopTest, CodeFlowInTheLoginWindowThenTheCheckFindsTheMail) {
  SignInAndCheck(false, Helper::Working);
}

TEST_F(ImapSignInOnTheDesktopTest, AHelperThatDoesNotStartLeavesTheSignInToTheDesktopsBrowser) {
  SignInAndCheck(false, Helper::Broken);
}

TEST_F(OptionsOnTheDesktopTest, TheProgramsWindowsFitTheScreenAtEveryScale) {
  // The options dialog (no account) and the mail list window (its option) open at start.
  WriteSetting("Flags", std::to_string(0x1010 | 0x80000), "--number");
  const QProcessEnvironment environment = Environment();
  const QRect screen(0, 0, 1280, 800);
  for (const char* scale : {"1", "1.5", "2"}) {
    SCOPED_TRACE(scale);
    desktop_.SetEnvironment("QT_SCALE_FACTOR", scale);
    QProcess& program = StartProgram();
    QStringList windows;
    ASSERT_TRUE(WaitUntil([&] {
      windows = ProgramWindows(environment);
      return windows.size() >= 2;
    })) << WindowTitles().toStdString();
    // Settled: the windows take their size once shown.
    QCoreApplication::processEvents(QEventLoop::AllEvents, 500);
    QThread::msleep(500);
    for (const QString& window : ProgramWindows(environment)) {
      const QRect place = WindowOnScreen(environment, window);
      if (!place.isValid())
        continue;
      EXPECT_TRUE(screen.contains(place))
          << window.toStdString() << " at " << place.x() << "," << place.y() << " " << place.width()
          << "x" << place.height();
    }
    const QString images = qEnvironmentVariable("TARVEL_IMAGE_DIR");
    if (!images.isEmpty() && QFile::exists("/usr/bin/import")) {
      QProcess shot;
      shot.setProcessEnvironment(environment);
      shot.start("/usr/bin/import",
                 {"-window", "root", images + "/options-scale-" + scale + ".png"});
      shot.waitForFinished(20'000);
    }
    program.terminate();
    ASSERT_TRUE(program.waitForFinished(kWaitMs));
  }
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
