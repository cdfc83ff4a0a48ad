#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

#include "app/instance_record.h"

namespace tarvel {

// One running instance per user and name: a per-user lock file held with flock (released by
// the system when the process ends, so a crashed instance never blocks a new start) and a
// local socket through which a second start asks the first one to open its options.
class SingleInstance : public QObject {
  Q_OBJECT

 public:
  // `name` is the instance name ("Tarvel E-Mail Notifier__MUTEX__" or "...Portable").
  SingleInstance(QString name, InstanceRecord& record);
  ~SingleInstance() override;

  // Takes the lock; false when another instance holds it.
  bool Acquire();
  // For the first instance: listens and records the socket name; `onRequest` runs on this
  // thread for every request of a second start.
  bool Listen(std::function<void()> onRequest);
  // For a second start: sends the request to the recorded socket. False when there was
  // nobody to tell (no record, or a dead socket).
  bool NotifyRunningInstance();
  // Clears the record if it still names this instance's socket.
  void ClearRecord();

  static constexpr char kOpenOptionsRequest[] = "open-options\n";

 private:
  QString name_;
  InstanceRecord& record_;
  int lockFd_ = -1;
  std::unique_ptr<QLocalServer> server_;
  std::function<void()> onRequest_;
};

}  // namespace tarvel
