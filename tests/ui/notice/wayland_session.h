#pragma once

// A Wayland desktop of the tests' own for the running program: a folder with the user's XDG
// folders and the runtime folder where a headless compositor puts its socket, a private
// session bus with a notification server that records what it is sent, and the processes
// started in it (ended in reverse order).
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/program_desktop.h"
#include "tests/support/temp_folder.h"

namespace tarvel::testing {

class WaylandSession {
 public:
  // `socket` is the compositor's socket name in the session's runtime folder, empty when the
  // compositor chooses it.
  explicit WaylandSession(QString socket = {});
  ~WaylandSession();

  // Starts the session bus and the notification server (after the compositor).
  bool StartBus();
  // Waits for the compositor's socket while `compositor` runs.
  bool WaitForSocket(const QProcess& compositor) const;
  // The same for a compositor that names its socket itself ("wayland-N") in `folder`: the
  // session takes its path.
  bool WaitForChosenSocket(const QProcess& compositor, const QString& folder);

  // A Wayland session: no X server named anywhere.
  QProcessEnvironment Environment() const;
  QProcess& Start(const QString& program, const QStringList& arguments,
                  const QProcessEnvironment& extra = {});
  // Ends one of the started processes now (sent TERM, waited for).
  static void End(QProcess& process);

  // A setting for the program, written with tarvelctl.
  bool WriteSetting(const std::string& name, const std::string& value, const char* kind) const;
  // IMAP #1 at the Dovecot fixture, with the popup option on.
  bool WriteImapAccount() const;
  QString TraceText() const;
  // The desktop notifications received so far, oldest first.
  std::vector<QJsonObject> Notices() const;

  TempFolder& folder() { return *folder_; }
  const QString& runtime() const { return runtime_; }
  const QString& socket() const { return socket_; }

 private:
  std::unique_ptr<TempFolder> folder_;
  std::vector<std::unique_ptr<QProcess>> processes_;
  QString socket_;
  QString runtime_;
  QString busAddress_;
  QString notices_;
};

}  // namespace tarvel::testing
