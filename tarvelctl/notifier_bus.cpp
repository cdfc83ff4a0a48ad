#include "tarvelctl/notifier_bus.h"

#include <gio/gio.h>

#include <cstdlib>
#include <filesystem>

namespace tarvel::ctl {

namespace {

constexpr char kService[] = "com.quorline.Tarvel";
constexpr char kPath[] = "/com/quorline/Tarvel";
constexpr char kInterface[] = "com.quorline.Tarvel1";
// More records than any mailbox shows are not taken from the bus.
constexpr size_t kMaxRecords = 100'000;

// The session bus's address: the environment's, or the user's bus socket when there is one.
// Never an autolaunched bus.
std::string SessionBusAddress() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address)
    return address;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime)
    return {};
  const std::filesystem::path socket = std::filesystem::path(runtime) / "bus";
  std::error_code error;
  if (!std::filesystem::is_socket(socket, error))
    return {};
  gchar* escaped = g_dbus_address_escape_value(socket.c_str());
  std::string address = std::string("unix:path=") + escaped;
  g_free(escaped);
  return address;
}

std::string TakeError(GError* error) {
  std::string text = error && error->message ? error->message : "unknown error";
  if (error) {
    if (gchar* remote = g_dbus_error_get_remote_error(error)) {
      g_dbus_error_strip_remote_error(error);
      text = std::string(remote) + ": " + error->message;
      g_free(remote);
    }
    g_error_free(error);
  }
  return text;
}

bool ReadRecords(GVariant* array, std::vector<NotifierRecord>& records) {
  if (!g_variant_is_of_type(array, G_VARIANT_TYPE("a(ssssss)")))
    return false;
  records.clear();
  GVariantIter iter;
  g_variant_iter_init(&iter, array);
  const gchar* fields[6] = {};
  while (records.size() < kMaxRecords &&
         g_variant_iter_next(&iter, "(&s&s&s&s&s&s)", &fields[0], &fields[1], &fields[2],
                             &fields[3], &fields[4], &fields[5])) {
    records.push_back({fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]});
  }
  return true;
}

// What the signals of a check leave for the waiting loop.
struct CheckWait {
  bool finished = false;
  bool vanished = false;
  uint32_t status = 0;
  std::vector<NotifierRecord> newRecords;
};

void OnSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name,
              GVariant* parameters, gpointer data) {
  auto& wait = *static_cast<CheckWait*>(data);
  if (g_strcmp0(name, "NewMail") == 0 &&
      g_variant_is_of_type(parameters, G_VARIANT_TYPE("(a(ssssss))"))) {
    GVariant* array = g_variant_get_child_value(parameters, 0);
    std::vector<NotifierRecord> records;
    if (ReadRecords(array, records))
      wait.newRecords.insert(wait.newRecords.end(), records.begin(), records.end());
    g_variant_unref(array);
  } else if (g_strcmp0(name, "CheckFinished") == 0 &&
             g_variant_is_of_type(parameters, G_VARIANT_TYPE("(u)"))) {
    g_variant_get(parameters, "(u)", &wait.status);
    wait.finished = true;
  } else if (g_strcmp0(name, "NameOwnerChanged") == 0 &&
             g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sss)"))) {
    const gchar* newOwner = nullptr;
    g_variant_get(parameters, "(&s&s&s)", nullptr, nullptr, &newOwner);
    if (!newOwner || !*newOwner)
      wait.vanished = true;
  }
}

gboolean OnTimeout(gpointer data) {
  *static_cast<bool*>(data) = true;
  return G_SOURCE_REMOVE;
}

}  // namespace

std::unique_ptr<NotifierBus> NotifierBus::Connect() {
  const std::string address = SessionBusAddress();
  if (address.empty())
    return nullptr;
  GError* error = nullptr;
  GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  if (!connection) {
    g_clear_error(&error);
    return nullptr;
  }
  g_dbus_connection_set_exit_on_close(connection, FALSE);
  return std::unique_ptr<NotifierBus>(new NotifierBus(connection));
}

NotifierBus::~NotifierBus() {
  g_dbus_connection_close_sync(connection_, nullptr, nullptr);
  g_object_unref(connection_);
}

std::optional<bool> NotifierBus::ProgramRunning() {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "NameHasOwner", g_variant_new("(s)", kService), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE,
      kNotifierCallTimeoutMs, nullptr, &error);
  if (!reply) {
    error_ = TakeError(error);
    return std::nullopt;
  }
  gboolean owned = FALSE;
  g_variant_get(reply, "(b)", &owned);
  g_variant_unref(reply);
  return owned != FALSE;
}

bool NotifierBus::GetUnread(std::vector<NotifierRecord>& records) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      connection_, kService, kPath, kInterface, "GetUnread", nullptr, G_VARIANT_TYPE("(a(ssssss))"),
      G_DBUS_CALL_FLAGS_NO_AUTO_START, kNotifierCallTimeoutMs, nullptr, &error);
  if (!reply) {
    error_ = TakeError(error);
    return false;
  }
  GVariant* array = g_variant_get_child_value(reply, 0);
  ReadRecords(array, records);
  g_variant_unref(array);
  g_variant_unref(reply);
  return true;
}

bool NotifierBus::Silence(int32_t minutes) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(connection_, kService, kPath, kInterface, "Silence",
                                                g_variant_new("(i)", minutes), G_VARIANT_TYPE_UNIT,
                                                G_DBUS_CALL_FLAGS_NO_AUTO_START,
                                                kNotifierCallTimeoutMs, nullptr, &error);
  if (!reply) {
    error_ = TakeError(error);
    return false;
  }
  g_variant_unref(reply);
  return true;
}

bool NotifierBus::Check(uint32_t timeoutSeconds, NotifierCheck& check) {
  CheckWait wait;
  // The signals are heard before the check is asked for, so its end cannot be missed.
  const guint mailSignal = g_dbus_connection_signal_subscribe(
      connection_, kService, kInterface, "NewMail", kPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
      OnSignal, &wait, nullptr);
  const guint finishedSignal = g_dbus_connection_signal_subscribe(
      connection_, kService, kInterface, "CheckFinished", kPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
      OnSignal, &wait, nullptr);
  const guint ownerSignal = g_dbus_connection_signal_subscribe(
      connection_, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
      "/org/freedesktop/DBus", kService, G_DBUS_SIGNAL_FLAGS_NONE, OnSignal, &wait, nullptr);
  auto unsubscribe = [&] {
    g_dbus_connection_signal_unsubscribe(connection_, mailSignal);
    g_dbus_connection_signal_unsubscribe(connection_, finishedSignal);
    g_dbus_connection_signal_unsubscribe(connection_, ownerSignal);
  };

  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      connection_, kService, kPath, kInterface, "CheckNow", nullptr, G_VARIANT_TYPE_UNIT,
      G_DBUS_CALL_FLAGS_NO_AUTO_START, kNotifierCallTimeoutMs, nullptr, &error);
  if (!reply) {
    unsubscribe();
    error_ = TakeError(error);
    return false;
  }
  g_variant_unref(reply);

  bool timedOut = false;
  const guint timer = g_timeout_add_seconds(timeoutSeconds, OnTimeout, &timedOut);
  while (!wait.finished && !wait.vanished && !timedOut)
    g_main_context_iteration(nullptr, TRUE);
  if (!timedOut)
    g_source_remove(timer);
  unsubscribe();
  if (!wait.finished) {
    error_ = wait.vanished ? "the notifier quit before its check ended"
                           : "the notifier's check did not end within " +
                                 std::to_string(timeoutSeconds) + " seconds";
    return false;
  }
  check.status = wait.status;
  check.newRecords = std::move(wait.newRecords);
  return GetUnread(check.records);
}

}  // namespace tarvel::ctl
