#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tarvel::testing {

class TempFolder;

// Generous: the program, the desktop's stand-ins and a browser share two cores with the other
// desktop tests; a wait ends as soon as its condition holds.
constexpr int kProgramWaitMs = 60'000;

// Runs the test's event loop until `done` holds; false when `milliseconds` pass first.
bool WaitUntil(const std::function<bool()>& done, int milliseconds = kProgramWaitMs);

// The desktop a test runs the real programs in: the folders of a settings home of its own
// (config, state, data, runtime), an X server unless the test brings another display, a
// private session bus with a connection of the test's own, and every process started in it,
// ended newest first when the desktop goes (the program leaves while its bus and display are
// still there).
class ProgramDesktop {
 public:
  struct Options {
    bool xServer = true;
    QString screen = QStringLiteral("800x600x24");
  };

  // `folder` outlives the desktop; it becomes the configuration home.
  explicit ProgramDesktop(TempFolder& folder);
  ProgramDesktop(const ProgramDesktop&) = delete;
  ProgramDesktop& operator=(const ProgramDesktop&) = delete;
  ~ProgramDesktop();

  // An empty text on success, or what failed.
  std::string Start(const Options& options);
  std::string Start() { return Start(Options{}); }
  // Ends every process started here and leaves the bus.
  void Stop();

  // Entries every later process gets on top of the desktop's own, or loses.
  void SetEnvironment(const QString& name, const QString& value) {
    environment_.insert(name, value);
  }
  void RemoveEnvironment(const QString& name) { removed_ << name; }
  QProcessEnvironment Environment() const;

  // Starts a process inside the desktop; the program's own output goes to the test's.
  QProcess& Launch(const QString& program, const QStringList& arguments);
  // The desktop program, `bin/tarvel` of the build.
  QProcess& StartProgram(const QStringList& arguments = {});
  // Runs a tool to its end; its standard output, its exit code (-1 when it crashed or hung)
  // and, when asked, its errors.
  QByteArray RunTool(const QString& program, const QStringList& arguments, int* exitCode,
                     QByteArray* errors = nullptr);
  // Sets one setting through `tarvelctl settings set`; false when it refuses.
  bool WriteSetting(const QStringList& arguments);
  // Points IMAP account `slot` (1 to 3) at the test IMAP server's host name with a user and
  // its password; false when a setting is refused.
  bool WriteImapAccount(int slot, const QString& user, const QString& password = "s3cret");

  // The fake StatusNotifierWatcher; returns when it owns the watcher's name.
  QProcess& StartTrayHost();
  // The bus names the program's tray items registered under, oldest first.
  QStringList RegisteredItems() const;
  // A property of a tray item; invalid when it cannot be read.
  QVariant ItemProperty(const QString& item, const QString& name) const;
  // A tray item's tooltip: its title and text joined by a line break.
  QString ToolTip(const QString& item) const;

  // The program's trace file, and how often `entry` stands in it as a whole line.
  QString TraceText() const;
  int CountInTrace(const QString& entry) const;

  QDBusConnection& bus() { return *connection_; }
  const QDBusConnection& bus() const { return *connection_; }
  const QString& display() const { return display_; }
  const QString& busAddress() const { return busAddress_; }
  QString file(const std::string& name) const;

 private:
  TempFolder& folder_;
  std::vector<std::unique_ptr<QProcess>> processes_;
  QProcessEnvironment environment_;
  QStringList removed_;
  QString display_;
  QString busAddress_;
  std::unique_ptr<QDBusConnection> connection_;
};

}  // namespace tarvel::testing
