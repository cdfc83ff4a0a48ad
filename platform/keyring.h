#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvel {

// The attributes that name one item of the keyring, as (name, value) pairs.
using KeyringAttributes = std::vector<std::pair<std::string, std::string>>;

enum class KeyringStatus {
  Ok,
  NotFound,     // no item has these attributes
  Locked,       // the item or its collection is locked and was not unlocked
  Unavailable,  // no session bus, or no Secret Service on it
  Failed,       // the service refused or failed the request
};

struct KeyringReply {
  KeyringStatus status = KeyringStatus::Failed;
  std::string value;    // the secret (UTF-8) of a lookup
  std::string message;  // the reason of a failure, for the user
};

// The desktop's keyring (a Secret Service on the session bus). Every call waits for the
// service: call them from worker threads or command-line tools, never from the GUI thread.
class Keyring {
 public:
  virtual ~Keyring() = default;

  // Whether a Secret Service answers on the session bus.
  virtual KeyringReply Probe() = 0;
  // The secret of the item with exactly these attributes.
  virtual KeyringReply Lookup(const KeyringAttributes& attributes) = 0;
  // Creates the item, or replaces the secret of the item with these attributes.
  virtual KeyringReply Store(const KeyringAttributes& attributes, std::string_view label,
                             std::string_view secret) = 0;
  // Removes the items with these attributes; NotFound when there was none.
  virtual KeyringReply Clear(const KeyringAttributes& attributes) = 0;
};

// The keyring of the session bus, through libsecret. Connects on first use.
std::unique_ptr<Keyring> OpenSessionKeyring();

// A short text for the status, for messages.
std::string_view KeyringStatusText(KeyringStatus status);

}  // namespace tarvel
