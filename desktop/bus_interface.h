#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusContext>
#include <QList>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/bus_mail_state.h"

namespace tarvel {

// The bus name, object path and interface of the program on the session bus.
inline constexpr char kBusServiceName[] = "com.quorline.Tarvel";
inline constexpr char kBusObjectPath[] = "/com/quorline/Tarvel";
inline constexpr char kBusInterfaceName[] = "com.quorline.Tarvel1";
// The error of a MarkRead the server refused (or that could not be tried), with the reason.
inline constexpr char kBusMarkReadFailed[] = "com.quorline.Tarvel1.Error.MarkReadFailed";

// A record on the bus: (account, sender, subject, folder, date, id), D-Bus type (ssssss).
struct BusRecordArgument {
  QString account;
  QString sender;
  QString subject;
  QString folder;
  QString date;
  QString id;
};
using BusRecordList = QList<BusRecordArgument>;

QDBusArgument& operator<<(QDBusArgument& argument, const BusRecordArgument& record);
const QDBusArgument& operator>>(const QDBusArgument& argument, BusRecordArgument& record);

// The records of the state in the bus's form.
BusRecordList ToBusRecords(const std::vector<BusMailRecord>& records);

class BusAdaptor;

// The program's object on the session bus: publishes what the checks found (GetUnread, the
// properties and their changes, NewMail) and hands the bus's commands to the program. It
// lives on the main thread and never waits for the bus: the name is asked for without
// waiting for the answer, and signals are sent without replies.
// The bus's call context is set on this object while one of its interface's methods runs.
class BusInterface : public QObject, public QDBusContext {
  Q_OBJECT

 public:
  struct Hooks {
    std::function<void()> checkNow;
    // Minutes for the check cycle's silence (kNotificationsOn ends it).
    std::function<void(int32_t)> silence;
    std::function<void(std::string_view)> trace;
    // Marks the records of the ids as read; the outcome comes on any thread.
    std::function<void(std::vector<std::string>, MailMarker::Done)> markRead;
  };

  BusInterface(const BusMailState& state, Hooks hooks, QObject* parent = nullptr);
  ~BusInterface() override;

  // Registers the object on the session bus and asks for the bus name. False when there is
  // no session bus or the object cannot be registered.
  bool Register();
  void Unregister();

  // Any thread (the check thread after each check): the state has a new snapshot; it is
  // published on the main thread.
  void PostPublished();
  // Main thread: publishes the state's snapshot now.
  void Publish();

  uint unreadCount() const { return unreadCount_; }
  qlonglong lastCheck() const { return lastCheck_; }
  BusRecordList unread() const;
  const Hooks& hooks() const { return hooks_; }

 private:
  const BusMailState& state_;
  Hooks hooks_;
  BusAdaptor* adaptor_ = nullptr;  // a child
  bool registered_ = false;
  uint unreadCount_ = 0;
  qlonglong lastCheck_ = 0;
  uint64_t checks_ = 0;  // the checks whose end was published
};

// The interface com.quorline.Tarvel1 of the object; the introspection data is the installed
// interface file's.
class BusAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "com.quorline.Tarvel1")
  Q_CLASSINFO("D-Bus Introspection",
              "  <interface name=\"com.quorline.Tarvel1\">\n"
              "    <method name=\"CheckNow\"/>\n"
              "    <method name=\"GetUnread\">\n"
              "      <arg name=\"records\" type=\"a(ssssss)\" direction=\"out\"/>\n"
              "    </method>\n"
              "    <method name=\"Silence\">\n"
              "      <arg name=\"minutes\" type=\"i\" direction=\"in\"/>\n"
              "    </method>\n"
              "    <method name=\"MarkRead\">\n"
              "      <arg name=\"id\" type=\"s\" direction=\"in\"/>\n"
              "    </method>\n"
              "    <signal name=\"NewMail\">\n"
              "      <arg name=\"records\" type=\"a(ssssss)\"/>\n"
              "    </signal>\n"
              "    <signal name=\"CheckFinished\">\n"
              "      <arg name=\"status\" type=\"u\"/>\n"
              "    </signal>\n"
              "    <property name=\"UnreadCount\" type=\"u\" access=\"read\">\n"
              "      <annotation name=\"org.freedesktop.DBus.Property.EmitsChangedSignal\" "
              "value=\"true\"/>\n"
              "    </property>\n"
              "    <property name=\"LastCheck\" type=\"x\" access=\"read\">\n"
              "      <annotation name=\"org.freedesktop.DBus.Property.EmitsChangedSignal\" "
              "value=\"true\"/>\n"
              "    </property>\n"
              "  </interface>\n")
  Q_PROPERTY(uint UnreadCount READ unreadCount)
  Q_PROPERTY(qlonglong LastCheck READ lastCheck)

 public:
  explicit BusAdaptor(BusInterface* owner);

  uint unreadCount() const { return owner_->unreadCount(); }
  qlonglong lastCheck() const { return owner_->lastCheck(); }

 public slots:  // NOLINT
  void CheckNow();
  BusRecordList GetUnread();
  void Silence(int minutes);
  void MarkRead(const QString& id);

 signals:
  void NewMail(const BusRecordList& records);
  void CheckFinished(uint status);

 private:
  BusInterface* owner_;
};

}  // namespace tarvel

Q_DECLARE_METATYPE(tarvel::BusRecordArgument)
