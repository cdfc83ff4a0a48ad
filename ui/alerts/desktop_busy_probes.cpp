#include "ui/alerts/desktop_busy_probes.h"

#include <unistd.h>
#include <xcb/xcb.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QString>
#include <QVariant>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvel {

namespace {

// A session bus is named in the environment or found at its standard place; without one
// Qt would try to launch a bus, which a probe must never do.
bool HaveSessionBus() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address)
    return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime)
    return false;
  return ::access((std::string(runtime) + "/bus").c_str(), F_OK) == 0;
}

// Strips the variant wrappers a property or portal read puts around a value.
QVariant Unwrap(QVariant value) {
  for (int depth = 0; depth < 4 && value.canConvert<QDBusVariant>() &&
                      value.metaType() == QMetaType::fromType<QDBusVariant>();
       ++depth) {
    value = value.value<QDBusVariant>().variant();
  }
  return value;
}

std::optional<QVariant> Call(const QString& service, const QString& path, const QString& interface,
                             const QString& method, const QVariantList& arguments, int timeoutMs) {
  if (!HaveSessionBus())
    return std::nullopt;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected())
    return std::nullopt;
  QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
  message.setArguments(arguments);
  const QDBusMessage reply = bus.call(message, QDBus::Block, timeoutMs);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
    return std::nullopt;
  return Unwrap(reply.arguments().constFirst());
}

bool IsTrue(const std::optional<QVariant>& value) {
  return value && value->metaType() == QMetaType::fromType<bool>() && value->toBool();
}

bool IsFalse(const std::optional<QVariant>& value) {
  return value && value->metaType() == QMetaType::fromType<bool>() && !value->toBool();
}

struct XcbDisconnect {
  void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};
using XcbConnection = std::unique_ptr<xcb_connection_t, XcbDisconnect>;

xcb_atom_t Atom(xcb_connection_t* connection, const char* name) {
  const xcb_intern_atom_cookie_t cookie = xcb_intern_atom(
      connection, 1, static_cast<uint16_t>(std::char_traits<char>::length(name)), name);
  std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
      xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

// The values of a 32-bit list property; empty when it is missing.
std::vector<uint32_t> Property32(xcb_connection_t* connection, xcb_window_t window,
                                 xcb_atom_t property, xcb_atom_t type) {
  constexpr uint32_t kMaximumItems = 256;
  const xcb_get_property_cookie_t cookie =
      xcb_get_property(connection, 0, window, property, type, 0, kMaximumItems);
  std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
      xcb_get_property_reply(connection, cookie, nullptr), &std::free);
  std::vector<uint32_t> values;
  if (!reply || reply->format != 32 || reply->type != type)
    return values;
  const int count = xcb_get_property_value_length(reply.get()) / 4;
  const auto* data = static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
  values.assign(data, data + count);
  return values;
}

}  // namespace

bool DesktopBusyProbes::NotificationsSwitchedOff() {
  const std::optional<QVariant> inhibited = Call(
      QStringLiteral("org.freedesktop.Notifications"),
      QStringLiteral("/org/freedesktop/Notifications"),
      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
      {QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Inhibited")}, timeoutMs_);
  if (IsTrue(inhibited))
    return true;
  const std::optional<QVariant> banners =
      Call(QStringLiteral("org.freedesktop.portal.Desktop"),
           QStringLiteral("/org/freedesktop/portal/desktop"),
           QStringLiteral("org.freedesktop.portal.Settings"), QStringLiteral("Read"),
           {QStringLiteral("org.gnome.desktop.notifications"), QStringLiteral("show-banners")},
           timeoutMs_);
  return IsFalse(banners);
}

bool DesktopBusyProbes::ScreenSaverActive() {
  const std::optional<QVariant> active = Call(
      QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("/org/freedesktop/ScreenSaver"),
      QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("GetActive"), {}, timeoutMs_);
  if (active)
    return IsTrue(active);
  return IsTrue(
      Call(QStringLiteral("org.gnome.ScreenSaver"), QStringLiteral("/org/gnome/ScreenSaver"),
           QStringLiteral("org.gnome.ScreenSaver"), QStringLiteral("GetActive"), {}, timeoutMs_));
}

bool DesktopBusyProbes::ActiveWindowFullScreen() {
  const char* session = std::getenv("XDG_SESSION_TYPE");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((session && std::string(session) == "wayland") || (wayland && *wayland))
    return false;
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display)
    return false;
  int screenNumber = 0;
  XcbConnection connection(xcb_connect(nullptr, &screenNumber));
  if (!connection || xcb_connection_has_error(connection.get()))
    return false;
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
  for (int i = 0; i < screenNumber && screens.rem > 0; ++i)
    xcb_screen_next(&screens);
  if (screens.rem <= 0)
    return false;
  const xcb_window_t root = screens.data->root;
  const xcb_atom_t activeWindow = Atom(connection.get(), "_NET_ACTIVE_WINDOW");
  const xcb_atom_t state = Atom(connection.get(), "_NET_WM_STATE");
  const xcb_atom_t fullScreen = Atom(connection.get(), "_NET_WM_STATE_FULLSCREEN");
  if (activeWindow == XCB_ATOM_NONE || state == XCB_ATOM_NONE || fullScreen == XCB_ATOM_NONE)
    return false;
  const std::vector<uint32_t> active =
      Property32(connection.get(), root, activeWindow, XCB_ATOM_WINDOW);
  if (active.empty() || active.front() == XCB_WINDOW_NONE || active.front() == root)
    return false;
  for (const uint32_t atom : Property32(connection.get(), active.front(), state, XCB_ATOM_ATOM)) {
    if (atom == fullScreen)
      return true;
  }
  return false;
}

}  // namespace tarvel
