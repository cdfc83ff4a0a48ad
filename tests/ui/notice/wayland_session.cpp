#include "tests/ui/notice/wayland_session.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <filesystem>
#include <utility>

#include "tests/support/dovecot_server.h"

namespace tarvel::testing {

WaylandSession::WaylandSession(QString socket) : socket_(std::move(socket)) {
  folder_ = std::make_unique<TempFolder>();
  folder_->UseAsConfigHome();
  for (const char* sub : {"state", "data", "runtime"})
    std::filesystem::create_directories(folder_->file(sub));
  std::filesystem::permissions(folder_->file("runtime"), std::filesystem::perms::owner_all);
  runtime_ = QString::fromStdString(folder_->file("runtime"));
}

WaylandSession::~WaylandSession() {
  for (auto process = processes_.rbegin(); process != processes_.rend(); ++process)
    End(**process);
}

void WaylandSession::End(QProcess& process) {
  if (process.state() == QProcess::NotRunning)
    return;
  process.terminate();
  if (!process.waitForFinished(5000)) {
    process.kill();
    process.waitForFinished(5000);
  }
}

bool WaylandSession::WaitForSocket(const QProcess& compositor) const {
  return WaitUntil([&] {
           return QFileInfo::exists(runtime_ + "/" + socket_) ||
                  compositor.state() == QProcess::NotRunning;
         }) &&
         compositor.state() == QProcess::Running;
}

bool WaylandSession::WaitForChosenSocket(const QProcess& compositor, const QString& folder) {
  const bool found = WaitUntil([&] {
    for (const QString& name :
         QDir(folder).entryList({QStringLiteral("wayland-*")}, QDir::System | QDir::Files)) {
      if (!name.endsWith(u".lock")) {
        socket_ = folder + "/" + name;
        return true;
      }
    }
    return compositor.state() == QProcess::NotRunning;
  });
  return found && compositor.state() == QProcess::Running;
}

bool WaylandSession::StartBus() {
  QProcess& bus = Start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
  if (!WaitUntil([&] { return bus.canReadLine() || bus.waitForReadyRead(50); }))
    return false;
  busAddress_ = QString::fromLatin1(bus.readLine()).trimmed();
  if (busAddress_.isEmpty())
    return false;
  notices_ = QString::fromStdString(folder_->file("notify.jsonl"));
  QProcess& server =
      Start("/usr/bin/python3",
            {QStringLiteral(TARVEL_SOURCE_DIR_PATH "/tests/ui/notice/fake_notification_server.py"),
             notices_});
  return WaitUntil([&] { return server.canReadLine() || server.waitForReadyRead(50); });
}

QProcessEnvironment WaylandSession::Environment() const {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.remove("DISPLAY");
  environment.remove("XAUTHORITY");
  environment.remove("XDG_CURRENT_DESKTOP");
  environment.insert("XDG_SESSION_TYPE", "wayland");
  environment.insert("WAYLAND_DISPLAY", socket_);
  environment.insert("QT_QPA_PLATFORM", "wayland");
  environment.insert("XDG_RUNTIME_DIR", runtime_);
  if (!busAddress_.isEmpty())
    environment.insert("DBUS_SESSION_BUS_ADDRESS", busAddress_);
  environment.insert("XDG_CONFIG_HOME", QString::fromStdString(folder_->file("config")));
  environment.insert("XDG_STATE_HOME", QString::fromStdString(folder_->file("state")));
  environment.insert("XDG_DATA_HOME", QString::fromStdString(folder_->file("data")));
  return environment;
}

QProcess& WaylandSession::Start(const QString& program, const QStringList& arguments,
                                const QProcessEnvironment& extra) {
  processes_.push_back(std::make_unique<QProcess>());
  QProcess& process = *processes_.back();
  QProcessEnvironment environment = Environment();
  for (const QString& name : extra.keys())
    environment.insert(name, extra.value(name));
  process.setProcessEnvironment(environment);
  process.setProcessChannelMode(program.endsWith("/tarvel") ? QProcess::ForwardedChannels
                                                            : QProcess::SeparateChannels);
  process.start(program, arguments);
  process.waitForStarted(10'000);
  return process;
}

bool WaylandSession::WriteSetting(const std::string& name, const std::string& value,
                                  const char* kind) const {
  const std::string tarvelctl = TARVEL_BINARY_DIR_PATH "/bin/tarvelctl";
  return RunProgram({tarvelctl, "settings", "set", name, value, kind}) == 0;
}

bool WaylandSession::WriteImapAccount() const {
  return WriteSetting("Flags", std::to_string(0x1010 | 0x1000000), "--number") &&
         WriteSetting("IMAPServer", "imap.example.com:993", "--text") &&
         WriteSetting("IMAPUser", "tester", "--protected") &&
         WriteSetting("IMAPPassword", "s3cret", "--protected");
}

QString WaylandSession::TraceText() const {
  QFile file(QString::fromStdString(folder_->file("state")) + "/Quorline/Tarvel/trace.log");
  return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

std::vector<QJsonObject> WaylandSession::Notices() const {
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

}  // namespace tarvel::testing
