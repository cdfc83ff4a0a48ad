#include "ui/readers/browser_tab_activator.h"

#include <unistd.h>
#include <xcb/xcb.h>

#include <QByteArray>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "accounts/mail_engine.h"

namespace tarvel {

namespace {

// A hung application costs at most this per call, and is then given up.
constexpr int kCallTimeoutMs = 500;
// The whole search, over every application, ends after this.
constexpr qint64 kSearchDeadlineMs = 5000;
// Bounds on the walk of one application's tree.
constexpr int kMostDepth = 40;
constexpr int kMostNodes = 5000;

// AT-SPI role numbers.
constexpr int kRoleDialog = 16;
constexpr int kRoleFrame = 23;
constexpr int kRolePageTab = 37;
constexpr int kRoleWindow = 69;
// Web content holds no tab strip; its often large trees are not walked.
constexpr int kRoleEmbedded = 78;
constexpr int kRoleDocumentFrame = 82;
constexpr int kRoleFirstDocument = 92;  // spreadsheet, presentation, text, web, email
constexpr int kRoleLastDocument = 96;

const QString kAccessible = QStringLiteral("org.a11y.atspi.Accessible");
const QString kConnectionName = QStringLiteral("tarvel-atspi-client");

struct Ref {
  QString service;
  QString path;
};

Ref ReadRef(const QDBusArgument& argument) {
  Ref ref;
  QDBusObjectPath path;
  argument.beginStructure();
  argument >> ref.service >> path;
  argument.endStructure();
  ref.path = path.path();
  return ref;
}

// Whether a name has an owner on the bus, asked with our own short time-out (the bus
// interface's own calls wait up to 25 s).
bool NameHasOwner(QDBusConnection& bus, const QString& name) {
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
  call << name;
  const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
  return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
         reply.arguments().constFirst().toBool();
}

QString AccessibilityBusAddress() {
  const QByteArray fromEnvironment = qgetenv("AT_SPI_BUS_ADDRESS");
  if (!fromEnvironment.isEmpty())
    return QString::fromUtf8(fromEnvironment);
  QDBusConnection session = QDBusConnection::sessionBus();
  if (!session.isConnected() || !NameHasOwner(session, QStringLiteral("org.a11y.Bus")))
    return {};
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
      QStringLiteral("org.a11y.Bus"), QStringLiteral("GetAddress"));
  const QDBusMessage reply = session.call(call, QDBus::Block, kCallTimeoutMs);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
    return {};
  return reply.arguments().constFirst().toString();
}

// The client side of the accessibility bus, walked with plain method calls, each bounded by
// the call time-out and all of them by the search's deadline. An application that lets a call
// time out is hung: it is asked nothing more.
class AtspiClient {
 public:
  explicit AtspiClient(QDBusConnection bus)
      : bus_(std::move(bus)), deadline_(kSearchDeadlineMs, Qt::CoarseTimer) {}

  QDBusMessage Call(const Ref& ref, const QString& interface, const QString& method,
                    const QVariantList& arguments = {}) {
    const qint64 left = deadline_.remainingTime();
    if (left == 0 || hung_.contains(ref.service))
      return {};
    QDBusMessage message = QDBusMessage::createMethodCall(ref.service, ref.path, interface, method);
    message.setArguments(arguments);
    const QDBusMessage reply =
        bus_.call(message, QDBus::Block, static_cast<int>(std::min<qint64>(left, kCallTimeoutMs)));
    if (reply.type() == QDBusMessage::ErrorMessage &&
        reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply"))
      hung_ << ref.service;
    return reply;
  }

  bool timeLeft() const { return !deadline_.hasExpired(); }

  static bool Ok(const QDBusMessage& reply) {
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty();
  }

  int Role(const Ref& ref) {
    const QDBusMessage reply = Call(ref, kAccessible, QStringLiteral("GetRole"));
    return Ok(reply) ? static_cast<int>(reply.arguments().constFirst().toUInt()) : -1;
  }

  QVariant Property(const Ref& ref, const QString& name) {
    const QDBusMessage reply = Call(ref, QStringLiteral("org.freedesktop.DBus.Properties"),
                                    QStringLiteral("Get"), {kAccessible, name});
    return Ok(reply) ? reply.arguments().constFirst().value<QDBusVariant>().variant() : QVariant();
  }

  QString Name(const Ref& ref) { return Property(ref, QStringLiteral("Name")).toString(); }

  std::optional<Ref> Parent(const Ref& ref) {
    const QVariant parent = Property(ref, QStringLiteral("Parent"));
    if (!parent.canConvert<QDBusArgument>())
      return std::nullopt;
    Ref result = ReadRef(parent.value<QDBusArgument>());
    if (result.service.isEmpty() || result.path == QLatin1String("/org/a11y/atspi/null"))
      return std::nullopt;
    return result;
  }

  QList<Ref> Children(const Ref& ref) {
    QList<Ref> children;
    const QDBusMessage reply = Call(ref, kAccessible, QStringLiteral("GetChildren"));
    if (!Ok(reply))
      return children;
    const QDBusArgument array = reply.arguments().constFirst().value<QDBusArgument>();
    array.beginArray();
    while (!array.atEnd())
      children << ReadRef(array);
    array.endArray();
    return children;
  }

  uint32_t ProcessOf(const QString& service) {
    const Ref bus{QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus")};
    const QDBusMessage reply = Call(bus, QStringLiteral("org.freedesktop.DBus"),
                                    QStringLiteral("GetConnectionUnixProcessID"), {service});
    return Ok(reply) ? reply.arguments().constFirst().toUInt() : 0;
  }

  // The first page tab below `ref` whose name holds `title`.
  std::optional<Ref> FindTab(const Ref& ref, const Text& title, int depth, int& budget) {
    if (depth > kMostDepth || --budget < 0)
      return std::nullopt;
    const int role = Role(ref);
    if (role < 0)
      return std::nullopt;
    if (role == kRolePageTab && TabNameMatches(Text::FromUtf8(Name(ref).toStdString()), title))
      return ref;
    if (role == kRoleEmbedded || role == kRoleDocumentFrame ||
        (role >= kRoleFirstDocument && role <= kRoleLastDocument))
      return std::nullopt;
    for (const Ref& child : Children(ref)) {
      if (std::optional<Ref> found = FindTab(child, title, depth + 1, budget))
        return found;
    }
    return std::nullopt;
  }

  // Selects a tab through its tab list's selection, or else through the tab's own action.
  bool Select(const Ref& tab) {
    const QDBusMessage index = Call(tab, kAccessible, QStringLiteral("GetIndexInParent"));
    const std::optional<Ref> list = Parent(tab);
    if (Ok(index) && list) {
      const QDBusMessage selected =
          Call(*list, QStringLiteral("org.a11y.atspi.Selection"), QStringLiteral("SelectChild"),
               {QVariant::fromValue(index.arguments().constFirst().toInt())});
      if (Ok(selected) && selected.arguments().constFirst().toBool())
        return true;
    }
    const QString actionInterface = QStringLiteral("org.a11y.atspi.Action");
    const QDBusMessage actions = Call(tab, actionInterface, QStringLiteral("GetActions"));
    if (!Ok(actions))
      return false;
    const QDBusArgument array = actions.arguments().constFirst().value<QDBusArgument>();
    int found = -1;
    int position = 0;
    array.beginArray();
    while (!array.atEnd()) {
      QString name, description, keyBinding;
      array.beginStructure();
      array >> name >> description >> keyBinding;
      array.endStructure();
      const QString lower = name.toLower();
      if (found < 0 && (lower == QLatin1String("switch") || lower == QLatin1String("press") ||
                        lower == QLatin1String("activate") || lower == QLatin1String("click")))
        found = position;
      ++position;
    }
    array.endArray();
    if (found < 0)
      return false;
    const QDBusMessage done =
        Call(tab, actionInterface, QStringLiteral("DoAction"), {QVariant::fromValue(found)});
    return Ok(done) && done.arguments().constFirst().toBool();
  }

  // The name of the window (frame, dialog or window) that holds `ref`.
  QString WindowTitleOf(const Ref& ref) {
    std::optional<Ref> current = ref;
    for (int step = 0; current && step < kMostDepth; ++step) {
      const int role = Role(*current);
      if (role == kRoleFrame || role == kRoleDialog || role == kRoleWindow)
        return Name(*current);
      current = Parent(*current);
    }
    return {};
  }

 private:
  QDBusConnection bus_;
  QDeadlineTimer deadline_;
  QStringList hung_;
};

std::optional<QDBusConnection> ConnectAccessibilityBus() {
  const QString address = AccessibilityBusAddress();
  if (address.isEmpty())
    return std::nullopt;
  // Qt's own accessibility bridge has a connection of its own; ours has a name of its own.
  static QString connectedAddress;
  QDBusConnection existing(kConnectionName);
  if (existing.isConnected() && connectedAddress == address)
    return existing;
  QDBusConnection::disconnectFromBus(kConnectionName);
  QDBusConnection bus = QDBusConnection::connectToBus(address, kConnectionName);
  if (!bus.isConnected())
    return std::nullopt;
  connectedAddress = address;
  return bus;
}

QString ProcessName(uint32_t pid) {
  if (pid == 0)
    return {};
  QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
  if (!comm.open(QIODevice::ReadOnly))
    return {};
  return QString::fromUtf8(comm.read(256)).trimmed();
}

struct XcbConnection {
  void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};

xcb_atom_t Atom(xcb_connection_t* connection, const char* name) {
  const xcb_intern_atom_cookie_t cookie =
      xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name);
  std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
      xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

std::vector<uint32_t> Cardinals(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t atom,
                                xcb_atom_t type) {
  const xcb_get_property_cookie_t cookie =
      xcb_get_property(connection, 0, window, atom, type, 0, 4096);
  std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
      xcb_get_property_reply(connection, cookie, nullptr), &std::free);
  std::vector<uint32_t> values;
  if (!reply || reply->format != 32)
    return values;
  const auto* data = static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
  const int count = xcb_get_property_value_length(reply.get()) / 4;
  values.assign(data, data + count);
  return values;
}

QString WindowName(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t nameAtom,
                   xcb_atom_t utf8) {
  const xcb_get_property_cookie_t cookie =
      xcb_get_property(connection, 0, window, nameAtom, utf8, 0, 1024);
  std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
      xcb_get_property_reply(connection, cookie, nullptr), &std::free);
  if (!reply || reply->format != 8)
    return {};
  return QString::fromUtf8(static_cast<const char*>(xcb_get_property_value(reply.get())),
                           xcb_get_property_value_length(reply.get()));
}

bool Viewable(xcb_connection_t* connection, xcb_window_t window) {
  std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> attributes(
      xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, window),
                                      nullptr),
      &std::free);
  return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
}

// Brings the X11 window of process `pid` titled like `title` to the front: through the window
// manager when one runs, else by restacking and focusing it ourselves. On a Wayland session
// this reaches only a browser running under Xwayland; without DISPLAY nothing is asked, the tab
// is selected and its window stays where it is (a Wayland client cannot raise another's window).
bool RaiseX11Window(uint32_t pid, const QString& title) {
  if (pid == 0 || qEnvironmentVariableIsEmpty("DISPLAY"))
    return false;
  std::unique_ptr<xcb_connection_t, XcbConnection> connection(xcb_connect(nullptr, nullptr));
  if (xcb_connection_has_error(connection.get()))
    return false;
  xcb_connection_t* c = connection.get();
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  if (!screen)
    return false;
  const xcb_window_t root = screen->root;
  const xcb_atom_t pidAtom = Atom(c, "_NET_WM_PID");
  const xcb_atom_t nameAtom = Atom(c, "_NET_WM_NAME");
  const xcb_atom_t utf8 = Atom(c, "UTF8_STRING");
  const xcb_atom_t clientList = Atom(c, "_NET_CLIENT_LIST");
  const xcb_atom_t activeWindow = Atom(c, "_NET_ACTIVE_WINDOW");

  std::vector<uint32_t> windows = Cardinals(c, root, clientList, XCB_ATOM_WINDOW);
  const bool managed = !windows.empty();
  if (!managed) {
    std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> tree(
        xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr), &std::free);
    if (!tree)
      return false;
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    windows.assign(children, children + xcb_query_tree_children_length(tree.get()));
  }
  xcb_window_t chosen = XCB_WINDOW_NONE;
  bool chosenByName = false;
  for (const uint32_t window : windows) {
    const std::vector<uint32_t> windowPid = Cardinals(c, window, pidAtom, XCB_ATOM_CARDINAL);
    if (windowPid.empty() || windowPid.front() != pid || (!managed && !Viewable(c, window)))
      continue;
    const bool byName = !title.isEmpty() && WindowName(c, window, nameAtom, utf8) == title;
    if (chosen == XCB_WINDOW_NONE || (byName && !chosenByName)) {
      chosen = window;
      chosenByName = byName;
    }
  }
  if (chosen == XCB_WINDOW_NONE)
    return false;
  if (managed) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = chosen;
    event.type = activeWindow;
    event.data.data32[0] = 2;  // a request from a pager-like tool: honoured without focus rules
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(c, 0, root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
  } else {
    const uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(c, chosen, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, chosen, XCB_CURRENT_TIME);
  }
  // A round trip, so the server has acted on the requests before we disconnect.
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  return true;
}

}  // namespace

bool AccessibilityBusPresent() {
  if (!qEnvironmentVariableIsEmpty("AT_SPI_BUS_ADDRESS"))
    return true;
  QDBusConnection session = QDBusConnection::sessionBus();
  return session.isConnected() && NameHasOwner(session, QStringLiteral("org.a11y.Bus"));
}

bool ActivateBrowserTab(const MailEngine& engine, const std::string& program) {
  const BrowserKind kind = BrowserKindFromProgram(program, engine.reader);
  if (kind == BrowserKind::None)
    return false;
  const std::optional<Text> title = TabTitleText(TabTitleSourceOf(engine));
  if (!title)
    return false;
  return ActivateBrowserTab(kind, *title);
}

bool ActivateBrowserTab(BrowserKind kind, const Text& titleText) {
  if (kind == BrowserKind::None || titleText.isEmpty())
    return false;
  const std::optional<QDBusConnection> bus = ConnectAccessibilityBus();
  if (!bus)
    return false;
  AtspiClient client(*bus);
  const Ref root{QStringLiteral("org.a11y.atspi.Registry"),
                 QStringLiteral("/org/a11y/atspi/accessible/root")};
  const uint32_t ownPid = static_cast<uint32_t>(::getpid());
  for (const Ref& application : client.Children(root)) {
    if (!client.timeLeft())
      break;
    // A call into our own process would wait for an answer our blocked loop cannot give.
    const uint32_t pid = client.ProcessOf(application.service);
    if (pid == ownPid)
      continue;
    if (!IsBrowserApplication(kind, client.Name(application).toStdString(),
                              ProcessName(pid).toStdString()))
      continue;
    int budget = kMostNodes;
    const std::optional<Ref> tab = client.FindTab(application, titleText, 0, budget);
    if (!tab || !client.Select(*tab))
      continue;
    RaiseX11Window(pid, client.WindowTitleOf(*tab));
    return true;
  }
  return false;
}

}  // namespace tarvel
