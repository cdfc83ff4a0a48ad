#include "tests/support/program_desktop.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <filesystem>

#include "tests/support/temp_folder.h"

namespace tarvel::testing {

namespace {

const QString kTrayHostScript =
    QStringLiteral(TARVEL_SOURCE_FOLDER "/tests/ui/tray/fake_tray_host.py");
const QString kProgram = QStringLiteral(TARVEL_BINARY_FOLDER "/bin/tarvel");
const QString kTarvelctl = QStringLiteral(TARVEL_BINARY_FOLDER "/bin/tarvelctl");

// Waits for the first line a stand-in writes on its standard output (its display or bus
// address). What it writes on its error output in the meantime does not end the wait.
bool ReadyLine(QProcess& process) {
  return WaitUntil([&] {
           if (process.canReadLine())
             return true;
           process.waitForReadyRead(50);
           return process.canReadLine() || process.state() == QProcess::NotRunning;
         }) &&
         process.canReadLine();
}

}  // namespace

bool WaitUntil(const std::function<bool()>& done, int milliseconds) {
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

ProgramDesktop::ProgramDesktop(TempFolder& folder) : folder_(folder) {}

ProgramDesktop::~ProgramDesktop() {
  Stop();
}

std::string ProgramDesktop::Start(const Options& options) {
  folder_.UseAsConfigHome();
  for (const char* sub : {"config", "state", "data", "runtime"})
    std::filesystem::create_directories(folder_.file(sub));
  std::filesystem::permissions(folder_.file("runtime"), std::filesystem::perms::owner_all);

  // The stand-ins of the desktop start with the test's own environment, in the desktop's
  // runtime folder (one a test before left behind may be gone).
  QProcessEnvironment standIn = QProcessEnvironment::systemEnvironment();
  standIn.insert("XDG_RUNTIME_DIR", file("runtime"));
  auto startPlain = [this, &standIn](const QString& program,
                                     const QStringList& arguments) -> QProcess& {
    processes_.push_back(std::make_unique<QProcess>());
    QProcess& process = *processes_.back();
    process.setProcessEnvironment(standIn);
    process.start(program, arguments);
    return process;
  };
  if (options.xServer) {
    // Two servers started at once may both pick the same free display; the one that loses
    // leaves, and another try picks the next one.
    std::string failure;
    for (int attempt = 0; attempt < 3 && display_.isEmpty(); ++attempt) {
      QProcess& xvfb = startPlain(
          "Xvfb", {"-displayfd", "1", "-screen", "0", options.screen, "-nolisten", "tcp"});
      if (ReadyLine(xvfb))
        display_ = ":" + QString::fromLatin1(xvfb.readLine()).trimmed();
      else
        failure = xvfb.readAllStandardError().toStdString();
    }
    if (display_.isEmpty())
      return "Xvfb did not start: " + failure;
  }
  QProcess& bus = startPlain("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
  if (!ReadyLine(bus))
    return "dbus-daemon did not start: " + bus.readAllStandardError().toStdString();
  busAddress_ = QString::fromLatin1(bus.readLine()).trimmed();
  connection_ = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(
      busAddress_, QStringLiteral("program-desktop-%1").arg(reinterpret_cast<quintptr>(this))));
  if (!connection_->isConnected())
    return "cannot connect to the private session bus";
  return {};
}

void ProgramDesktop::Stop() {
  for (auto process = processes_.rbegin(); process != processes_.rend(); ++process) {
    if ((*process)->state() == QProcess::NotRunning)
      continue;
    (*process)->terminate();
    if (!(*process)->waitForFinished(10'000)) {
      (*process)->kill();
      (*process)->waitForFinished(5000);
    }
  }
  processes_.clear();
  if (connection_) {
    const QString name = connection_->name();
    connection_.reset();
    QDBusConnection::disconnectFromBus(name);
  }
}

QProcessEnvironment ProgramDesktop::Environment() const {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  if (!display_.isEmpty()) {
    environment.insert("DISPLAY", display_);
    environment.insert("QT_QPA_PLATFORM", "xcb");
  }
  if (!busAddress_.isEmpty())
    environment.insert("DBUS_SESSION_BUS_ADDRESS", busAddress_);
  environment.insert("XDG_CONFIG_HOME", file("config"));
  environment.insert("XDG_STATE_HOME", file("state"));
  environment.insert("XDG_DATA_HOME", file("data"));
  environment.insert("XDG_RUNTIME_DIR", file("runtime"));
  environment.remove("XDG_CURRENT_DESKTOP");
  for (const QString& name : removed_)
    environment.remove(name);
  environment.insert(environment_);
  return environment;
}

QProcess& ProgramDesktop::Launch(const QString& program, const QStringList& arguments) {
  processes_.push_back(std::make_unique<QProcess>());
  QProcess& process = *processes_.back();
  process.setProcessEnvironment(Environment());
  process.setProcessChannelMode(program.endsWith("/tarvel") ? QProcess::ForwardedChannels
                                                            : QProcess::SeparateChannels);
  process.start(program, arguments);
  process.waitForStarted(10'000);
  return process;
}

QProcess& ProgramDesktop::StartProgram(const QStringList& arguments) {
  return Launch(kProgram, arguments);
}

QByteArray ProgramDesktop::RunTool(const QString& program, const QStringList& arguments,
                                   int* exitCode, QByteArray* errors) {
  QProcess& process = Launch(program, arguments);
  const bool ended = process.waitForFinished(kProgramWaitMs);
  *exitCode = ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  if (errors)
    *errors = process.readAllStandardError();
  return process.readAllStandardOutput();
}

bool ProgramDesktop::WriteSetting(const QStringList& arguments) {
  int exitCode = -1;
  RunTool(kTarvelctl, QStringList{"settings", "set"} + arguments, &exitCode);
  return exitCode == 0;
}

bool ProgramDesktop::WriteImapAccount(int slot, const QString& user, const QString& password) {
  const QString suffix = slot > 1 ? QString::number(slot) : QString();
  return WriteSetting({"IMAPServer" + suffix, "imap.example.com:993", "--text"}) &&
         WriteSetting({"IMAPUser" + suffix, user, "--protected"}) &&
         WriteSetting({"IMAPPassword" + suffix, password, "--protected"});
}

QProcess& ProgramDesktop::StartTrayHost() {
  QProcess& host = Launch("/usr/bin/python3", {kTrayHostScript, file("items.jsonl")});
  ReadyLine(host);
  return host;
}

QStringList ProgramDesktop::RegisteredItems() const {
  QFile log(file("items.jsonl"));
  QStringList items;
  if (!log.open(QIODevice::ReadOnly))
    return items;
  for (const QByteArray& line : log.readAll().split('\n')) {
    const int at = line.indexOf("\"item\": \"");
    if (at >= 0)
      items << QString::fromLatin1(line.mid(at + 9, line.indexOf('"', at + 9) - at - 9));
  }
  return items;
}

QVariant ProgramDesktop::ItemProperty(const QString& item, const QString& name) const {
  QDBusMessage call = QDBusMessage::createMethodCall(item, "/StatusNotifierItem",
                                                     "org.freedesktop.DBus.Properties", "Get");
  call << QStringLiteral("org.kde.StatusNotifierItem") << name;
  const QDBusMessage reply = connection_->call(call, QDBus::Block, 5000);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
    return {};
  return reply.arguments().first().value<QDBusVariant>().variant();
}

QString ProgramDesktop::ToolTip(const QString& item) const {
  const QVariant value = ItemProperty(item, "ToolTip");
  if (!value.canConvert<QDBusArgument>())
    return {};
  const QDBusArgument argument = value.value<QDBusArgument>();
  QString iconName;
  QString title;
  QString text;
  argument.beginStructure();
  argument >> iconName;
  argument.beginArray();
  while (!argument.atEnd()) {
    int width = 0;
    int height = 0;
    QByteArray pixels;
    argument.beginStructure();
    argument >> width >> height >> pixels;
    argument.endStructure();
  }
  argument.endArray();
  argument >> title >> text;
  argument.endStructure();
  return text.isEmpty() ? title : title + "\n" + text;
}

QString ProgramDesktop::TraceText() const {
  QFile trace(file("state") + "/Quorline/Tarvel/trace.log");
  return trace.open(QIODevice::ReadOnly) ? QString::fromUtf8(trace.readAll()) : QString();
}

int ProgramDesktop::CountInTrace(const QString& entry) const {
  return static_cast<int>(TraceText().count("] " + entry + "\n"));
}

QString ProgramDesktop::file(const std::string& name) const {
  return QString::fromStdString(folder_.file(name));
}

}  // namespace tarvel::testing
