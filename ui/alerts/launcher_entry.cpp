#include "ui/alerts/launcher_entry.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>

#include <cstdlib>

namespace tarvel {

void LauncherEntryPublisher::PublishUnreadCount(uint32_t total) {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if ((!address || !*address) && (!runtime || !*runtime))
    return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected())
    return;
  QDBusMessage signal = QDBusMessage::createSignal(
      QStringLiteral("/com/canonical/unity/launcherentry/tarvel"),
      QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"));
  QVariantMap properties;
  properties.insert(QStringLiteral("count"), QVariant::fromValue(static_cast<qint64>(total)));
  properties.insert(QStringLiteral("count-visible"), QVariant(total > 0));
  signal << QStringLiteral("application://") + desktopFileName_ << properties;
  bus.send(signal);
}

}  // namespace tarvel
