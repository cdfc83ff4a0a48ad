#include <libsecret/secret.h>

#include <memory>
#include <string>

#include "platform/keyring.h"

namespace tarvel {

namespace {

// Every item of this program has these attributes (all strings); items are matched by them
// alone, so items written by other tools with the same attributes are found too.
const ::SecretSchema kSchema = {
    "com.quorline.Tarvel.Secret",
    SECRET_SCHEMA_DONT_MATCH_NAME,
    {
        {"application", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"store", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"group", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"name", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
    },
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

struct GErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
struct HashTableUnref {
  void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
struct SecretValueUnref {
  void operator()(::SecretValue* value) const { secret_value_unref(value); }
};
struct ItemListFree {
  void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};

using ErrorPtr = std::unique_ptr<GError, GErrorFree>;
using ServicePtr = std::unique_ptr<::SecretService, GObjectUnref>;
using TablePtr = std::unique_ptr<GHashTable, HashTableUnref>;
using ValuePtr = std::unique_ptr<::SecretValue, SecretValueUnref>;
using ItemListPtr = std::unique_ptr<GList, ItemListFree>;

TablePtr AttributeTable(const KeyringAttributes& attributes) {
  // The table borrows the strings of `attributes`, which outlive every call that uses it.
  TablePtr table(g_hash_table_new(g_str_hash, g_str_equal));
  for (const auto& [name, value] : attributes) {
    g_hash_table_insert(table.get(), const_cast<char*>(name.c_str()),
                        const_cast<char*>(value.c_str()));
  }
  return table;
}

KeyringReply Failure(KeyringStatus status, const GError* error) {
  KeyringReply reply;
  reply.status = status;
  if (error && error->message)
    reply.message = error->message;
  if (status == KeyringStatus::Failed && error &&
      (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED) ||
       reply.message.find("locked") != std::string::npos))
    reply.status = KeyringStatus::Locked;
  return reply;
}

class LibsecretKeyring : public Keyring {
 public:
  KeyringReply Probe() override {
    KeyringReply reply;
    ServicePtr service = Connect(reply);
    if (service)
      reply.status = KeyringStatus::Ok;
    return reply;
  }

  KeyringReply Lookup(const KeyringAttributes& attributes) override {
    KeyringReply reply;
    ServicePtr service = Connect(reply);
    if (!service)
      return reply;
    GError* raw = nullptr;
    // A locked item is unlocked the desktop's way (a prompt), when the desktop has one.
    const auto flags =
        static_cast<SecretSearchFlags>(SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS);
    ItemListPtr items(secret_service_search_sync(
        service.get(), &kSchema, AttributeTable(attributes).get(), flags, nullptr, &raw));
    ErrorPtr error(raw);
    if (error)
      return Failure(KeyringStatus::Failed, error.get());
    if (!items) {
      reply.status = KeyringStatus::NotFound;
      return reply;
    }
    auto* item = static_cast<::SecretItem*>(items->data);
    ValuePtr value(secret_item_get_locked(item) ? nullptr : secret_item_get_secret(item));
    if (!value) {
      reply.status = KeyringStatus::Locked;
      reply.message = "the keyring is locked";
      return reply;
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    reply.status = KeyringStatus::Ok;
    reply.value.assign(bytes ? bytes : "", bytes ? length : 0);
    return reply;
  }

  KeyringReply Store(const KeyringAttributes& attributes, std::string_view label,
                     std::string_view secret) override {
    KeyringReply reply;
    ServicePtr service = Connect(reply);
    if (!service)
      return reply;
    ValuePtr value(
        secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "text/plain"));
    GError* raw = nullptr;
    const std::string labelText(label);
    const gboolean stored = secret_service_store_sync(
        service.get(), &kSchema, AttributeTable(attributes).get(), SECRET_COLLECTION_DEFAULT,
        labelText.c_str(), value.get(), nullptr, &raw);
    ErrorPtr error(raw);
    if (!stored || error)
      return Failure(KeyringStatus::Failed, error.get());
    reply.status = KeyringStatus::Ok;
    return reply;
  }

  KeyringReply Clear(const KeyringAttributes& attributes) override {
    KeyringReply reply;
    ServicePtr service = Connect(reply);
    if (!service)
      return reply;
    GError* raw = nullptr;
    const gboolean cleared = secret_service_clear_sync(
        service.get(), &kSchema, AttributeTable(attributes).get(), nullptr, &raw);
    ErrorPtr error(raw);
    if (error)
      return Failure(KeyringStatus::Failed, error.get());
    reply.status = cleared ? KeyringStatus::Ok : KeyringStatus::NotFound;
    return reply;
  }

 private:
  // The shared connection to the service; null with `reply` saying why when there is none.
  static ServicePtr Connect(KeyringReply& reply) {
    GError* raw = nullptr;
    ServicePtr service(secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &raw));
    ErrorPtr error(raw);
    if (!service || error) {
      reply = Failure(KeyringStatus::Unavailable, error.get());
      if (reply.message.empty())
        reply.message = "no Secret Service on the session bus";
      return nullptr;
    }
    return service;
  }
};

}  // namespace

std::unique_ptr<Keyring> OpenSessionKeyring() {
  return std::make_unique<LibsecretKeyring>();
}

std::string_view KeyringStatusText(KeyringStatus status) {
  switch (status) {
    case KeyringStatus::Ok:
      return "done";
    case KeyringStatus::NotFound:
      return "not in the keyring";
    case KeyringStatus::Locked:
      return "the keyring is locked";
    case KeyringStatus::Unavailable:
      return "no keyring (Secret Service) on the session bus";
    case KeyringStatus::Failed:
      return "the keyring refused the request";
  }
  return "unknown";
}

}  // namespace tarvel
