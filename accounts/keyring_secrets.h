#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/keyring.h"
#include "platform/text.h"

namespace tarvel {

class SettingsStore;

// The stored text of a protected account value that is kept in the desktop's keyring: the
// settings hold this marker and the keyring holds the value. It is not Base64, so it never
// decrypts to a value.
inline constexpr std::u16string_view kKeyringMarker = u"[keyring]";

// The setting that says the account values were moved to the keyring (1), so new values go
// there too.
inline constexpr std::u16string_view kSecretsInKeyring = u"SecretsInKeyring";

// The reason a check gives when a value of its account is kept in a keyring that cannot give
// it now.
inline constexpr std::u16string_view kKeyringUnreadableReason =
    u"the account's password is kept in the keyring, which is locked or not running";

// The account values that can be kept in the keyring: the protected values without a group
// (user names, passwords, tokens). The web cookie groups stay in the settings.
bool IsKeyringCandidate(std::u16string_view group, std::u16string_view name);

// Where a settings store finds the values its markers stand for.
class SecretSource {
 public:
  virtual ~SecretSource() = default;
  // The value, or nothing when it cannot be read now (keyring locked or absent, no item).
  virtual std::optional<Text> Read(std::u16string_view name) = 0;
  // Stores the value; false when the keyring did not take it.
  virtual bool Write(std::u16string_view name, const Text& value) = 0;
  // Removes the value's item.
  virtual void Remove(std::u16string_view name) = 0;
};

// The attributes of the keyring item that holds the value `name` of the store at
// `storeLocation`: the application, the store, the account the value belongs to and the
// value's name.
KeyringAttributes KeyringItemAttributes(const std::string& storeLocation, std::u16string_view name);
// The account a protected value belongs to: "IMAP1" to "IMAP3", "EWS", "iNotes", "Notes",
// "Virgilio".
std::string KeyringAccountOf(std::u16string_view name);

// A source that asks the keyring at every call. Its calls wait for the keyring: for
// command-line tools and worker threads.
class KeyringSecretSource : public SecretSource {
 public:
  KeyringSecretSource(Keyring& keyring, std::string storeLocation);

  std::optional<Text> Read(std::u16string_view name) override;
  bool Write(std::u16string_view name, const Text& value) override;
  void Remove(std::u16string_view name) override;

 private:
  Keyring& keyring_;
  std::string storeLocation_;
};

// A source for a program with a GUI thread, which must never wait for the keyring: Load
// (on a worker thread) reads every kept value of the store into memory; reads are answered
// from memory, and writes go to memory at once and to the keyring on a thread of the source.
// A value the keyring does not take is written protected into the store instead, so it is
// never lost.
class CachedSecretSource : public SecretSource {
 public:
  CachedSecretSource(Keyring& keyring, SettingsStore& store);
  // Finishes the writes still pending.
  ~CachedSecretSource() override;
  CachedSecretSource(const CachedSecretSource&) = delete;
  CachedSecretSource& operator=(const CachedSecretSource&) = delete;

  // Waits for the keyring: reads the values the store keeps there. A value the keyring cannot
  // give now stays unreadable.
  void Load();

  std::optional<Text> Read(std::u16string_view name) override;
  bool Write(std::u16string_view name, const Text& value) override;
  void Remove(std::u16string_view name) override;

  // Waits until every pending write has reached the keyring (or the store).
  void Flush();

 private:
  struct Job {
    Text name;
    std::optional<Text> value;  // nothing: remove the item
  };
  void Persist();

  SettingsStore& store_;
  KeyringSecretSource keyring_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::u16string, Text> values_;
  std::deque<Job> jobs_;
  bool busy_ = false;
  bool stopping_ = false;
  std::thread writer_;
};

// Where one protected value of a store is kept.
struct SecretPlace {
  Text name;
  bool inKeyring = false;  // the settings hold the marker
};

// The protected account values the store holds, in the order of their names.
std::vector<SecretPlace> ListSecretPlaces(const SettingsStore& store);

// The outcome of moving one value.
struct SecretMove {
  enum class Result {
    Moved,
    AlreadyThere,  // nothing to do
    Failed,        // left where it was, still readable
    Unreadable,    // its stored form cannot be read: left as it is
  };
  Text name;
  Result result = Result::Failed;
  std::string reason;  // why it failed, for the user
};

// Moves every protected account value of the store into the keyring: each value is written
// to the keyring, read back and compared, and only then replaced by the marker. A value whose
// move fails stays in the settings as it was.
std::vector<SecretMove> MoveSecretsToKeyring(SettingsStore& store, Keyring& keyring);
// The reverse: each value kept in the keyring is written protected into the settings, read
// back and compared, and only then removed from the keyring. A value whose move fails stays
// in the keyring with its marker.
std::vector<SecretMove> MoveSecretsToSettings(SettingsStore& store, Keyring& keyring);

}  // namespace tarvel
