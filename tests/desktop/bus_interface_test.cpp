// The program's session-bus interface as another program meets it: the real program on an X
// server with a private session bus, one IMAP account on Dovecot, the interface read with
// gdbus and driven over a bus connection of the test.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QStringList>
#include <QXmlStreamReader>

#include <algorithm>
#include <functional>
#include <memory>
#include <tuple>
#include <vector>

#include "tests/support/dovecot_server.h"
#include "tests/support/program_desktop.h"
#include "tests/support/temp_folder.h"

namespace {

constexpr int kWaitMs = 60'000;
const QString kService = QStringLiteral("com.quorline.Tarvel");
const QString kPath = QStringLiteral("/com/quorline/Tarvel");
const QString kInterface = QStringLiteral("com.quorline.Tarvel1");

using tarvel::testing::WaitUntil;

std::string Message(const std::string& subject) {
  return "From: Alice Example <alice@example.com>\r\nSubject: " + subject + "\r\n\r\nbody\r\n";
}

// A message dated `secondsAgo` before now: only dated mail is announced as new.
std::string DatedMessage(const std::string& subject, int secondsAgo) {
  const std::string date =
      QDateTime::currentDateTimeUtc().addSecs(-secondsAgo).toString(Qt::RFC2822Date).toStdString();
  return "From: Alice Example <alice@example.com>\r\nDate: " + date + "\r\nSubject: " + subject +
         "\r\n\r\nbody\r\n";
}

struct Record {
  QString account, sender, subject, folder, date, id;
};

std::vector<Record> ReadRecords(const QVariant& value) {
  std::vector<Record> records;
  if (!value.canConvert<QDBusArgument>())
    return records;
  const QDBusArgument argument = value.value<QDBusArgument>();
  if (argument.currentSignature() != QLatin1String("a(ssssss)"))
    return records;
  argument.beginArray();
  while (!argument.atEnd()) {
    Record record;
    argument.beginStructure();
    argument >> record.account >> record.sender >> record.subject >> record.folder >> record.date >>
        record.id;
    argument.endStructure();
    records.push_back(record);
  }
  argument.endArray();
  return records;
}

// The members of one interface of an introspection document, each as "kind name signature"
// ("method GetUnread out:a(ssssss)"); empty when the document is not well-formed XML.
QStringList InterfaceMembers(const QByteArray& xml, const QString& interfaceName) {
  QXmlStreamReader reader(xml);
  QStringList members;
  bool inside = false;
  QString current;
  while (!reader.atEnd()) {
    reader.readNext();
    if (reader.isStartElement()) {
      const QStringView name = reader.name();
      const auto attributes = reader.attributes();
      if (name == u"interface") {
        inside = attributes.value("name") == interfaceName;
      } else if (inside && (name == u"method" || name == u"signal" || name == u"property")) {
        current = name.toString() + " " + attributes.value("name").toString();
        if (name == u"property")
          current += " " + attributes.value("type").toString() + " " +
                     attributes.value("access").toString();
      } else if (inside && name == u"arg") {
        const QString direction = attributes.value("direction").toString();
        current += " " + (direction.isEmpty() ? QString() : direction + ":") +
                   attributes.value("type").toString();
      }
    } else if (reader.isEndElement()) {
      const QStringView name = reader.name();
      if (name == u"interface")
        inside = false;
      else if (inside && (name == u"method" || name == u"signal" || name == u"property"))
        members << current;
    }
  }
  if (reader.hasError())
    return {};
  members.sort();
  return members;
}

}  // namespace

// Collects the signals the test's bus connection hears.
class SignalLog : public QObject {
  Q_OBJECT

 public:
  std::vector<QDBusMessage> messages;

 public slots:  // NOLINT
  void Heard(const QDBusMessage& message) { messages.push_back(message); }
};

class BusInterfaceProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(desktop_.Start(), ""); }

  void TearDown() override {
    desktop_.Stop();
    ::unsetenv("TARVEL_CA_FILE");
    ::unsetenv("TARVEL_CONNECT_TO");
  }

  QProcessEnvironment Environment() const { return desktop_.Environment(); }

  QProcess& Start(const QString& program, const QStringList& arguments) {
    QProcess& process = desktop_.Launch(program, arguments);
    EXPECT_NE(process.state(), QProcess::NotRunning) << program.toStdString();
    return process;
  }

  // Runs a tool on the private bus to its end; its standard output, and its exit code.
  QByteArray Tool(const QString& program, const QStringList& arguments, int* exitCode,
                  QByteArray* errors = nullptr) {
    return desktop_.RunTool(program, arguments, exitCode, errors);
  }

  void WriteSetting(const std::string& name, const std::string& value, const char* kind) {
    const std::string tarvelctl = TARVEL_BINARY_DIR_PATH "/bin/tarvelctl";
    ASSERT_EQ(tarvel::testing::RunProgram({tarvelctl, "settings", "set", name, value, kind}), 0)
        << name;
  }

  QDBusMessage Call(const QString& method, const QVariantList& arguments = {}) const {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    call.setArguments(arguments);
    return desktop_.bus().call(call, QDBus::Block, 10'000);
  }

  QVariant Property(const QString& name) const {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, "org.freedesktop.DBus.Properties", "Get");
    call << kInterface << name;
    const QDBusMessage reply = desktop_.bus().call(call, QDBus::Block, 10'000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
      return {};
    return reply.arguments().first().value<QDBusVariant>().variant();
  }

  std::vector<Record> Unread() const {
    const QDBusMessage reply = Call("GetUnread");
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1)
      return {};
    return ReadRecords(reply.arguments().first());
  }

  tarvel::testing::TempFolder folder_;
  tarvel::testing::ProgramDesktop desktop_{folder_};
};

TEST_F(BusInterfaceProgramTest, AnotherProgramFollowsAndDrivesTheNotifierOverTheSessionBus) {
  tarvel::testing::DovecotServer server;
  ASSERT_TRUE(server.started());
  ::setenv("TARVEL_CA_FILE", server.caFile().c_str(), 1);
  ::setenv("TARVEL_CONNECT_TO", server.connectTo().c_str(), 1);
  WriteSetting("Flags", std::to_string(0x1010 | 0x1000000 | 0x4000000), "--number");
  ASSERT_TRUE(desktop_.WriteImapAccount(1, "tester"));
  ASSERT_TRUE(desktop_.WriteImapAccount(2, "second"));
  ASSERT_TRUE(server.Deliver("tester", "INBOX", Message("first")));

  QProcess& program = Start(QStringLiteral(TARVEL_BINARY_DIR_PATH "/bin/tarvel"), {});
  ASSERT_TRUE(WaitUntil([&] { return desktop_.bus().interface()->isServiceRegistered(kService); }));
  // The first check ends: its time is set and the mail waiting on the server is listed.
  ASSERT_TRUE(WaitUntil([&] { return Property("LastCheck").toLongLong() > 0; }));
  const qlonglong firstCheck = Property("LastCheck").toLongLong();
  EXPECT_NEAR(static_cast<double>(firstCheck),
              static_cast<double>(QDateTime::currentSecsSinceEpoch()), 600.0);
  EXPECT_EQ(Property("UnreadCount").toUInt(), 1u);
  const std::vector<Record> first = Unread();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].subject, "first");
  EXPECT_EQ(first[0].sender, "Alice Example");
  EXPECT_FALSE(first[0].account.isEmpty());
  EXPECT_FALSE(first[0].id.isEmpty());

  // Introspection, as gdbus reads it: well-formed, the interface exactly as its installed
  // description has it, and the standard interfaces beside it.
  int exitCode = -1;
  const QByteArray introspection = Tool(
      "gdbus", {"introspect", "--session", "--dest", kService, "--object-path", kPath, "--xml"},
      &exitCode);
  ASSERT_EQ(exitCode, 0);
  const QStringList members = InterfaceMembers(introspection, kInterface);
  EXPECT_TRUE(members.contains("method GetUnread out:a(ssssss)"))
      << members.join(", ").toStdString();
  EXPECT_TRUE(members.contains("method Silence in:i")) << members.join(", ").toStdString();
  EXPECT_TRUE(members.contains("method CheckNow")) << members.join(", ").toStdString();
  EXPECT_TRUE(members.contains("method MarkRead in:s")) << members.join(", ").toStdString();
  EXPECT_TRUE(members.contains("signal NewMail a(ssssss)")) << members.join(", ").toStdString();
  EXPECT_TRUE(members.contains("signal CheckFinished u")) << members.join(", ").toStdString();
  EXPECT_TRUE(members.contains("property UnreadCount u read")) << members.join(", ").toStdString();
  EXPECT_TRUE(members.contains("property LastCheck x read")) << members.join(", ").toStdString();
  QFile described(QStringLiteral(TARVEL_SOURCE_DIR_PATH "/desktop/com.quorline.Tarvel1.xml"));
  ASSERT_TRUE(described.open(QIODevice::ReadOnly));
  EXPECT_EQ(members, InterfaceMembers(described.readAll(), kInterface));
  EXPECT_FALSE(InterfaceMembers(introspection, "org.freedesktop.DBus.Properties").isEmpty());
  EXPECT_FALSE(InterfaceMembers(introspection, "org.freedesktop.DBus.Introspectable").isEmpty());

  // A new delivery and CheckNow: NewMail carries only the new record, UnreadCount changes.
  SignalLog newMail;
  SignalLog changes;
  ASSERT_TRUE(desktop_.bus().connect(kService, kPath, kInterface, "NewMail", &newMail,
                                     SLOT(Heard(QDBusMessage))));
  ASSERT_TRUE(desktop_.bus().connect(kService, kPath, "org.freedesktop.DBus.Properties",
                                     "PropertiesChanged", &changes, SLOT(Heard(QDBusMessage))));
  ASSERT_TRUE(server.Deliver("second", "INBOX", Message("second")));
  ASSERT_EQ(Call("CheckNow").type(), QDBusMessage::ReplyMessage);
  ASSERT_TRUE(WaitUntil([&] { return !newMail.messages.empty(); }));
  ASSERT_EQ(newMail.messages[0].arguments().size(), 1);
  const std::vector<Record> arrived = ReadRecords(newMail.messages[0].arguments().first());
  ASSERT_EQ(arrived.size(), 1u);
  EXPECT_EQ(arrived[0].subject, "second");
  EXPECT_NE(arrived[0].account, first[0].account);
  ASSERT_TRUE(WaitUntil([&] {
    for (const QDBusMessage& message : changes.messages) {
      const QVariantList arguments = message.arguments();
      if (arguments.size() == 3 && arguments[0].toString() == kInterface) {
        const QVariantMap changed = qdbus_cast<QVariantMap>(arguments[1]);
        if (changed.value("UnreadCount").toUInt() == 2 && changed.contains("LastCheck"))
          return true;
      }
    }
    return false;
  })) << changes.messages.size();
  const std::vector<Record> both = Unread();
  ASSERT_EQ(both.size(), 2u);
  // The record that stayed keeps its id.
  const auto stayed = std::find_if(both.begin(), both.end(),
                                   [](const Record& record) { return record.subject == "first"; });
  ASSERT_NE(stayed, both.end());
  EXPECT_EQ(stayed->id, first[0].id);
  EXPECT_GT(Property("LastCheck").toLongLong(), 0);

  // Silence refuses what is not 0 to a week with the bus's own error, at gdbus level too.
  for (const int minutes : {-1, -2147483647, 10081, 2147483647}) {
    const QDBusMessage reply = Call("Silence", {minutes});
    EXPECT_EQ(reply.type(), QDBusMessage::ErrorMessage) << minutes;
    EXPECT_EQ(reply.errorName(), "org.freedesktop.DBus.Error.InvalidArgs") << minutes;
  }
  QByteArray errors;
  Tool("gdbus",
       {"call", "--session", "--dest", kService, "--object-path", kPath, "--method",
        kInterface + ".Silence", "--", "-5"},
       &exitCode, &errors);
  EXPECT_NE(exitCode, 0);
  EXPECT_TRUE(errors.contains("InvalidArgs")) << errors.toStdString();
  for (const int minutes : {5, 0, 10080})
    EXPECT_EQ(Call("Silence", {minutes}).type(), QDBusMessage::ReplyMessage) << minutes;

  // The program keeps running through all of it and ends cleanly.
  EXPECT_EQ(program.state(), QProcess::Running);
  program.terminate();
  ASSERT_TRUE(program.waitForFinished(kWaitMs));
  EXPECT_EQ(program.exitCode(), 0);
}

// The notices announced so far, as the notification server logged them.
std::vector<QJsonObject> Notices(const QString& log) {
  std::vector<QJsonObject> notices;
  QFile file(log);
  if (!file.open(QIODevice::ReadOnly))
    return notices;
  while (!file.atEnd()) {
    const QJsonDocument line = QJsonDocument::fromJson(file.readLine());
    if (line.isObject())
      notices.push_back(line.object());
  }
  return notices;
}

// "Mark as read" from the notice as a user chooses it in the notification: the message is
// \Seen on the server afterwards (another IMAP session finds no unread mail), the record
// leaves the list and the count; a mark the server refuses is told in a notification and
// the record stays. MarkRead over the bus does the same for a script.
TEST_F(BusInterfaceProgramTest, MarkAsReadFromTheNoticeSetsSeenOnTheServer) {
  tarvel::testing::DovecotServer server;
  ASSERT_TRUE(server.started());
  ::setenv("TARVEL_CA_FILE", server.caFile().c_str(), 1);
  ::setenv("TARVEL_CONNECT_TO", server.connectTo().c_str(), 1);
  // IMAP #1, notices as desktop notifications (the popup option off).
  WriteSetting("Flags", std::to_string(0x10 | 0x1000000), "--number");
  ASSERT_TRUE(desktop_.WriteImapAccount(1, "tester"));
  // A second settings file, for a check of its own in another session.
  const std::string tarvelctl = TARVEL_BINARY_DIR_PATH "/bin/tarvelctl";
  const std::string ini = folder_.file("other.ini");
  for (const auto& [name, value, kind] : {std::tuple<std::string, std::string, std::string>{
                                              "Flags", std::to_string(0x1000000), "--number"},
                                          {"IMAPServer", "imap.example.com:993", "--text"},
                                          {"IMAPUser", "tester", "--protected"},
                                          {"IMAPPassword", "s3cret", "--protected"}}) {
    ASSERT_EQ(tarvel::testing::RunProgram(
                  {tarvelctl, "--ini", ini, "settings", "set", name, value, kind}),
              0);
  }
  const auto unreadElsewhere = [&] {
    int exitCode = -1;
    const QByteArray out =
        Tool(QString::fromStdString(tarvelctl),
             {"--ini", QString::fromStdString(ini), "check", "--json"}, &exitCode);
    const QJsonObject result = QJsonDocument::fromJson(out).object();
    return exitCode == 0 ? result.value("total").toInt(-1) : -1;
  };
  const QString log = QString::fromStdString(folder_.file("notify.jsonl"));
  QProcess& notifications = Start(
      "/usr/bin/python3",
      {QStringLiteral(TARVEL_SOURCE_DIR_PATH "/tests/ui/notice/fake_notification_server.py"), log});
  ASSERT_TRUE(
      WaitUntil([&] { return notifications.canReadLine() || notifications.waitForReadyRead(50); }));
  QProcess& program = Start(QStringLiteral(TARVEL_BINARY_DIR_PATH "/bin/tarvel"), {});
  ASSERT_TRUE(WaitUntil([&] { return desktop_.bus().interface()->isServiceRegistered(kService); }));
  ASSERT_TRUE(WaitUntil([&] { return Property("LastCheck").toLongLong() > 0; }));
  ASSERT_TRUE(server.Deliver("tester", "INBOX", DatedMessage("first", 60)));
  ASSERT_EQ(unreadElsewhere(), 1);
  // The account idles: the delivery is announced and checked without a word from here.
  ASSERT_TRUE(WaitUntil([&] { return !Notices(log).empty(); }));
  const QJsonObject notice = Notices(log).back();
  EXPECT_EQ(notice.value("actions").toVariant().toStringList(),
            (QStringList{"default", "Open", "mark-read", "Mark as read"}));
  ASSERT_EQ(Property("UnreadCount").toUInt(), 1u);

  const auto invoke = [&](uint id, const QString& action) {
    QDBusMessage call =
        QDBusMessage::createMethodCall("org.example.FakeDesktop", "/org/freedesktop/Notifications",
                                       "org.example.FakeDesktop", "InvokeAction");
    call << id << action;
    return desktop_.bus().call(call, QDBus::Block, 10'000).type() == QDBusMessage::ReplyMessage;
  };
  ASSERT_TRUE(invoke(notice.value("id").toInt(), "mark-read"));
  ASSERT_TRUE(WaitUntil([&] { return Property("UnreadCount").toUInt() == 0; }));
  EXPECT_TRUE(Unread().empty());
  EXPECT_EQ(unreadElsewhere(), 0);

  // The server refuses the sign-in since the check: a notification says why; the mail stays.
  ASSERT_TRUE(server.Deliver("tester", "INBOX", DatedMessage("second", 0)));
  const std::size_t before = Notices(log).size();
  ASSERT_EQ(Call("CheckNow").type(), QDBusMessage::ReplyMessage);
  ASSERT_TRUE(WaitUntil([&] { return Notices(log).size() > before; }));
  const QJsonObject secondNotice = Notices(log).back();
  EXPECT_TRUE(secondNotice.value("body").toString().contains("second"))
      << secondNotice.value("body").toString().toStdString();
  ASSERT_TRUE(WaitUntil([&] { return Property("UnreadCount").toUInt() == 1; }));
  ASSERT_TRUE(server.SetPassword("tester", "changed"));
  ASSERT_TRUE(invoke(secondNotice.value("id").toInt(), "mark-read"));
  ASSERT_TRUE(WaitUntil([&] { return Notices(log).size() > before + 1; }));
  const QJsonObject failure = Notices(log).back();
  EXPECT_EQ(failure.value("summary").toString(), "Could not mark as read");
  EXPECT_TRUE(failure.value("body").toString().contains("refused"))
      << failure.value("body").toString().toStdString();
  EXPECT_TRUE(failure.value("actions").toArray().isEmpty());
  EXPECT_EQ(Property("UnreadCount").toUInt(), 1u);
  ASSERT_TRUE(server.SetPassword("tester", "s3cret"));
  // The notice's action is spent; the bus marks the record.
  const std::vector<Record> listed = Unread();
  ASSERT_EQ(listed.size(), 1u);
  const QDBusMessage unknown = Call("MarkRead", {QStringLiteral("no-such-record")});
  EXPECT_EQ(unknown.type(), QDBusMessage::ErrorMessage);
  EXPECT_EQ(unknown.errorName(), "com.quorline.Tarvel1.Error.MarkReadFailed");
  const QDBusMessage marked = Call("MarkRead", {listed[0].id});
  EXPECT_EQ(marked.type(), QDBusMessage::ReplyMessage) << marked.errorMessage().toStdString();
  EXPECT_EQ(Property("UnreadCount").toUInt(), 0u);
  EXPECT_TRUE(Unread().empty());
  EXPECT_EQ(unreadElsewhere(), 0);

  EXPECT_EQ(program.state(), QProcess::Running);
  program.terminate();
  ASSERT_TRUE(program.waitForFinished(kWaitMs));
  EXPECT_EQ(program.exitCode(), 0);
}

// tarvelctl goes through the running program: its check is the program's check, its unread list
// and silence are the program's; without the program it says so, and a name owner that does
// not answer is an error, never a silent second check.
TEST_F(BusInterfaceProgramTest, TarvelctlGoesThroughTheRunningProgram) {
  const QString tarvelctl = QStringLiteral(TARVEL_BINARY_DIR_PATH "/bin/tarvelctl");
  int exitCode = -1;
  QByteArray errors;

  // Nobody on the bus: the program's own commands fail and say why.
  for (const QStringList& arguments : {QStringList{"unread"}, QStringList{"silence", "5"}}) {
    Tool(tarvelctl, arguments, &exitCode, &errors);
    EXPECT_EQ(exitCode, 1) << arguments.join(' ').toStdString();
    EXPECT_TRUE(errors.contains("not running")) << errors.toStdString();
  }
  // A name owner without the interface: check, unread and silence report the failure.
  const QString impostor = QStringLiteral("impostor-%1").arg(reinterpret_cast<quintptr>(this));
  {
    QDBusConnection other = QDBusConnection::connectToBus(desktop_.busAddress(), impostor);
    ASSERT_TRUE(other.registerService(kService));
    for (const QStringList& arguments :
         {QStringList{"check"}, QStringList{"unread"}, QStringList{"silence", "5"}}) {
      const QByteArray out = Tool(tarvelctl, arguments, &exitCode, &errors);
      EXPECT_EQ(exitCode, 1) << arguments.join(' ').toStdString();
      EXPECT_TRUE(errors.contains("the running notifier failed")) << errors.toStdString();
      EXPECT_FALSE(out.contains("Status:")) << out.toStdString();
    }
    other.unregisterService(kService);
  }
  QDBusConnection::disconnectFromBus(impostor);

  tarvel::testing::DovecotServer server;
  ASSERT_TRUE(server.started());
  ::setenv("TARVEL_CA_FILE", server.caFile().c_str(), 1);
  ::setenv("TARVEL_CONNECT_TO", server.connectTo().c_str(), 1);
  WriteSetting("Flags", std::to_string(0x1010 | 0x1000000), "--number");
  ASSERT_TRUE(desktop_.WriteImapAccount(1, "tester"));
  // Without IDLE the check tarvelctl asks for reads the server (an IDLE leaves that to its
  // own announcement).
  WriteSetting("IMAPUseIDLECommand", "0", "--number");
  ASSERT_TRUE(server.Deliver("tester", "INBOX", Message("first")));
  ASSERT_TRUE(server.Deliver("tester", "INBOX", Message("second")));
  QProcess& program = Start(QStringLiteral(TARVEL_BINARY_DIR_PATH "/bin/tarvel"), {});
  ASSERT_TRUE(WaitUntil([&] { return desktop_.bus().interface()->isServiceRegistered(kService); }));
  ASSERT_TRUE(WaitUntil([&] { return Property("LastCheck").toLongLong() > 0; }));

  // The check is the program's: the bus carries its end while tarvelctl waits for it.
  SignalLog finished;
  ASSERT_TRUE(desktop_.bus().connect(kService, kPath, kInterface, "CheckFinished", &finished,
                                     SLOT(Heard(QDBusMessage))));
  const QByteArray json = Tool(tarvelctl, {"check", "--json"}, &exitCode, &errors);
  EXPECT_EQ(exitCode, 0) << errors.toStdString();
  ASSERT_TRUE(WaitUntil([&] { return !finished.messages.empty(); }));
  EXPECT_EQ(finished.messages[0].arguments().value(0).toUInt(), 0u);
  EXPECT_TRUE(json.startsWith("{\"status\":0,\"total\":2,")) << json.toStdString();
  EXPECT_TRUE(json.contains("\"subject\":\"first\"")) << json.toStdString();
  EXPECT_TRUE(json.contains("\"subject\":\"second\"")) << json.toStdString();
  for (const Record& record : Unread())
    EXPECT_TRUE(json.contains("\"id\":\"" + record.id.toUtf8() + "\"")) << json.toStdString();
  EXPECT_EQ(Property("UnreadCount").toUInt(), 2u);

  const QByteArray listed = Tool(tarvelctl, {"unread"}, &exitCode, &errors);
  EXPECT_EQ(exitCode, 0) << errors.toStdString();
  EXPECT_TRUE(listed.contains(": 2 unread\n")) << listed.toStdString();
  EXPECT_TRUE(listed.contains("  Alice Example - first\n")) << listed.toStdString();
  EXPECT_TRUE(listed.contains("  Alice Example - second\n")) << listed.toStdString();
  EXPECT_TRUE(listed.endsWith("\n2 unread\n")) << listed.toStdString();

  // The program judges the silence; its refusal reaches the user.
  Tool(tarvelctl, {"silence", "10081"}, &exitCode, &errors);
  EXPECT_EQ(exitCode, 1);
  EXPECT_TRUE(errors.contains("InvalidArgs")) << errors.toStdString();
  Tool(tarvelctl, {"silence", "ten"}, &exitCode, &errors);
  EXPECT_EQ(exitCode, 2);
  for (const char* minutes : {"5", "0"}) {
    Tool(tarvelctl, {"silence", minutes}, &exitCode, &errors);
    EXPECT_EQ(exitCode, 0) << minutes << errors.toStdString();
  }

  // A settings file of its own is not the program's: that check runs in tarvelctl.
  const QString ini = QString::fromStdString(folder_.file("own.ini"));
  tarvel::testing::WriteFileContent(ini.toStdString(), "");
  const QByteArray own = Tool(tarvelctl, {"--ini", ini, "check"}, &exitCode, &errors);
  EXPECT_EQ(exitCode, 0) << errors.toStdString();
  EXPECT_TRUE(own.contains("Status: 0, 0 unread, 0 new")) << own.toStdString();
  EXPECT_EQ(finished.messages.size(), 1u);

  EXPECT_EQ(program.state(), QProcess::Running);
  program.terminate();
  ASSERT_TRUE(program.waitForFinished(kWaitMs));
  EXPECT_EQ(program.exitCode(), 0);
}

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

#include "bus_interface_test.moc"
