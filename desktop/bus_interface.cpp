#include "desktop/bus_interface.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>
#include <QVariantMap>

#include <utility>

namespace tarvel {

namespace {

// RequestName's flag: fail rather than wait in the queue (a second instance hands over
// through the single-instance lock, not the bus).
constexpr uint kDoNotQueue = 4;
constexpr uint kPrimaryOwner = 1;

QString FromUtf8(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QDBusArgument& operator<<(QDBusArgument& argument, const BusRecordArgument& record) {
  argument.beginStructure();
  argument << record.account << record.sender << record.subject << record.folder << record.date
           << record.id;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, BusRecordArgument& record) {
  argument.beginStructure();
  argument >> record.account >> record.sender >> record.subject >> record.folder >> record.date >>
      record.id;
  argument.endStructure();
  return argument;
}

BusRecordList ToBusRecords(const std::vector<BusMailRecord>& records) {
  BusRecordList list;
  list.reserve(static_cast<qsizetype>(records.size()));
  for (const BusMailRecord& record : records) {
    list.push_back({FromUtf8(record.account), FromUtf8(record.sender), FromUtf8(record.subject),
                    FromUtf8(record.folder), FromUtf8(record.date), FromUtf8(record.id)});
  }
  return list;
}

BusInterface::BusInterface(const BusMailState& state, Hooks hooks, QObject* parent)
    : QObject(parent), state_(state), hooks_(std::move(hooks)) {
  qDBusRegisterMetaType<BusRecordArgument>();
  qDBusRegisterMetaType<BusRecordList>();
  // The adaptor's signal names the list by this name; the bus looks it up by name to relay it.
  qRegisterMetaType<BusRecordList>("BusRecordList");
  adaptor_ = new BusAdaptor(this);
}

BusInterface::~BusInterface() {
  Unregister();
}

bool BusInterface::Register() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected())
    return false;
  if (!bus.registerObject(QString::fromLatin1(kBusObjectPath), this,
                          QDBusConnection::ExportAdaptors)) {
    if (hooks_.trace)
      hooks_.trace("BusObjectNotRegistered");
    return false;
  }
  registered_ = true;
  QDBusMessage request = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("RequestName"));
  request << QString::fromLatin1(kBusServiceName) << kDoNotQueue;
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(request), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
    const QDBusPendingReply<uint> reply = *call;
    if (hooks_.trace && (reply.isError() || reply.value() != kPrimaryOwner))
      hooks_.trace("BusNameTaken");
    call->deleteLater();
  });
  return true;
}

void BusInterface::Unregister() {
  if (!registered_)
    return;
  registered_ = false;
  QDBusConnection::sessionBus().unregisterObject(QString::fromLatin1(kBusObjectPath));
}

void BusInterface::PostPublished() {
  QMetaObject::invokeMethod(
      this, [this] { Publish(); }, Qt::QueuedConnection);
}

BusRecordList BusInterface::unread() const {
  return ToBusRecords(state_.snapshot().records);
}

void BusInterface::Publish() {
  const BusMailSnapshot snapshot = state_.snapshot();
  QVariantMap changed;
  if (snapshot.unreadCount != unreadCount_) {
    unreadCount_ = snapshot.unreadCount;
    changed.insert(QStringLiteral("UnreadCount"), QVariant::fromValue(unreadCount_));
  }
  if (snapshot.lastCheck != lastCheck_) {
    lastCheck_ = snapshot.lastCheck;
    changed.insert(QStringLiteral("LastCheck"), QVariant::fromValue(lastCheck_));
  }
  const bool ended = snapshot.checks != checks_;
  checks_ = snapshot.checks;
  if (!registered_)
    return;
  // The new records first and the end of the check last: a client that waits for the end has
  // heard all of the check by then.
  if (ended && !snapshot.newRecords.empty())
    emit adaptor_->NewMail(ToBusRecords(snapshot.newRecords));
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!changed.isEmpty()) {
    QDBusMessage signal = QDBusMessage::createSignal(
        QString::fromLatin1(kBusObjectPath), QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("PropertiesChanged"));
    signal << QString::fromLatin1(kBusInterfaceName) << changed << QStringList();
    bus.send(signal);
  }
  if (ended)
    emit adaptor_->CheckFinished(snapshot.lastStatus);
}

BusAdaptor::BusAdaptor(BusInterface* owner) : QDBusAbstractAdaptor(owner), owner_(owner) {
  setAutoRelaySignals(false);
}

void BusAdaptor::CheckNow() {
  if (owner_->hooks().checkNow)
    owner_->hooks().checkNow();
}

BusRecordList BusAdaptor::GetUnread() {
  return owner_->unread();
}

void BusAdaptor::MarkRead(const QString& id) {
  if (!owner_->calledFromDBus())
    return;
  if (!owner_->hooks().markRead) {
    owner_->sendErrorReply(QDBusError::NotSupported, QStringLiteral("marking is not available"));
    return;
  }
  // The answer waits for the server; the bus gets it from the main thread once it is there.
  owner_->setDelayedReply(true);
  const QDBusMessage call = owner_->message();
  QPointer<BusInterface> owner(owner_);
  owner_->hooks().markRead({id.toStdString()}, [owner, call](const MailMarker::Outcome& outcome) {
    QMetaObject::invokeMethod(
        owner.data(),
        [owner, call, outcome] {
          if (!owner)
            return;
          // The count the caller reads next is already the new one.
          owner->Publish();
          QDBusConnection bus = QDBusConnection::sessionBus();
          if (outcome.failure.empty()) {
            bus.send(call.createReply());
          } else {
            bus.send(call.createErrorReply(QString::fromLatin1(kBusMarkReadFailed),
                                           QString::fromStdString(outcome.failure)));
          }
        },
        Qt::QueuedConnection);
  });
}

void BusAdaptor::Silence(int minutes) {
  const std::optional<int32_t> silence = BusSilenceMinutes(minutes);
  if (!silence) {
    if (owner_->calledFromDBus()) {
      owner_->sendErrorReply(QDBusError::InvalidArgs,
                             QStringLiteral("Silence takes 0 (notifications on) or 1 to %1 minutes")
                                 .arg(kBusSilenceMaxMinutes));
    }
    return;
  }
  if (owner_->hooks().silence)
    owner_->hooks().silence(*silence);
}

}  // namespace tarvel
