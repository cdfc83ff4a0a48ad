#include "accounts/keyring_secrets.h"

#include <algorithm>

#include "accounts/protected_text.h"
#include "accounts/settings_store.h"
#include "platform/ascii_bytes.h"

namespace tarvel {

namespace {

constexpr char kApplication[] = "tarvel";

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() &&
         ascii_bytes::EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

std::string Label(std::u16string_view name) {
  return "Tarvel E-Mail Notifier: " + Text(name).ToUtf8();
}

bool IsMarker(const SettingsStore& store, std::u16string_view name) {
  const std::optional<StoredSetting> stored = store.readStored(name);
  return stored && stored->kind == StoredSetting::Kind::Text && stored->text == kKeyringMarker;
}

SecretMove Outcome(std::u16string_view name, SecretMove::Result result, std::string reason = {}) {
  SecretMove move;
  move.name = Text(name);
  move.result = result;
  move.reason = std::move(reason);
  return move;
}

std::string Reason(const KeyringReply& reply) {
  std::string reason(KeyringStatusText(reply.status));
  if (!reply.message.empty() && reply.message != reason)
    reason += ": " + reply.message;
  return reason;
}

bool NoneFailed(const std::vector<SecretMove>& moves) {
  return std::none_of(moves.begin(), moves.end(), [](const SecretMove& move) {
    return move.result == SecretMove::Result::Failed;
  });
}

}  // namespace

bool IsKeyringCandidate(std::u16string_view group, std::u16string_view name) {
  return group.empty() && IsProtectedSetting(group, name);
}

std::string KeyringAccountOf(std::u16string_view name) {
  if (StartsWithNoCase(name, u"IMAP")) {
    const char16_t last = name.empty() ? u'1' : name.back();
    return std::string("IMAP") + (last == u'2' || last == u'3' ? static_cast<char>(last) : '1');
  }
  if (StartsWithNoCase(name, u"EWS"))
    return "EWS";
  if (StartsWithNoCase(name, u"iNotes"))
    return "iNotes";
  if (StartsWithNoCase(name, u"Notes"))
    return "Notes";
  if (StartsWithNoCase(name, u"Virgilio"))
    return "Virgilio";
  return "other";
}

KeyringAttributes KeyringItemAttributes(const std::string& storeLocation,
                                        std::u16string_view name) {
  return {
      {"application", kApplication},
      {"store", storeLocation},
      {"account", KeyringAccountOf(name)},
      {"name", Text(name).ToUtf8()},
  };
}

KeyringSecretSource::KeyringSecretSource(Keyring& keyring, std::string storeLocation)
    : keyring_(keyring), storeLocation_(std::move(storeLocation)) {}

std::optional<Text> KeyringSecretSource::Read(std::u16string_view name) {
  const KeyringReply reply = keyring_.Lookup(KeyringItemAttributes(storeLocation_, name));
  if (reply.status != KeyringStatus::Ok)
    return std::nullopt;
  return Text::FromUtf8(reply.value);
}

bool KeyringSecretSource::Write(std::u16string_view name, const Text& value) {
  const KeyringAttributes attributes = KeyringItemAttributes(storeLocation_, name);
  const std::string secret = value.ToUtf8();
  if (keyring_.Store(attributes, Label(name), secret).status != KeyringStatus::Ok)
    return false;
  const KeyringReply check = keyring_.Lookup(attributes);
  return check.status == KeyringStatus::Ok && check.value == secret;
}

void KeyringSecretSource::Remove(std::u16string_view name) {
  keyring_.Clear(KeyringItemAttributes(storeLocation_, name));
}

CachedSecretSource::CachedSecretSource(Keyring& keyring, SettingsStore& store)
    : store_(store), keyring_(keyring, store.location()) {
  writer_ = std::thread([this] { Persist(); });
}

CachedSecretSource::~CachedSecretSource() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  writer_.join();
}

void CachedSecretSource::Load() {
  std::map<std::u16string, Text> loaded;
  for (const SecretPlace& place : ListSecretPlaces(store_)) {
    if (!place.inKeyring)
      continue;
    if (std::optional<Text> value = keyring_.Read(place.name))
      loaded.emplace(std::u16string(place.name.view()), std::move(*value));
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  // A value written meanwhile is newer than the one read.
  loaded.merge(values_);
  values_.swap(loaded);
}

std::optional<Text> CachedSecretSource::Read(std::u16string_view name) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto found = values_.find(std::u16string(name));
  if (found == values_.end())
    return std::nullopt;
  return found->second;
}

bool CachedSecretSource::Write(std::u16string_view name, const Text& value) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    values_[std::u16string(name)] = value;
    jobs_.push_back({Text(name), value});
  }
  changed_.notify_all();
  return true;
}

void CachedSecretSource::Remove(std::u16string_view name) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    values_.erase(std::u16string(name));
    jobs_.push_back({Text(name), std::nullopt});
  }
  changed_.notify_all();
}

void CachedSecretSource::Flush() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return jobs_.empty() && !busy_; });
}

void CachedSecretSource::Persist() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    changed_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty())
      return;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    busy_ = true;
    lock.unlock();
    if (!job.value) {
      keyring_.Remove(job.name);
    } else if (keyring_.Write(job.name, *job.value)) {
      // After an earlier write of the value fell back to the store, the store points to the
      // keyring again.
      if (!IsMarker(store_, job.name))
        store_.writeText(job.name, Text(kKeyringMarker));
    } else {
      // The keyring did not take it: the store keeps it, protected as before, in place of
      // the marker.
      if (const std::optional<std::string> stored = EncryptSecret(*job.value, kBuiltInPassPhrase))
        store_.writeText(job.name, Text::FromUtf8(*stored));
    }
    lock.lock();
    busy_ = false;
    changed_.notify_all();
  }
}

std::vector<SecretPlace> ListSecretPlaces(const SettingsStore& store) {
  std::vector<SecretPlace> places;
  for (const StoredSetting& value : store.listValues()) {
    if (!IsKeyringCandidate({}, value.name))
      continue;
    SecretPlace place;
    place.name = value.name;
    place.inKeyring = value.kind == StoredSetting::Kind::Text && value.text == kKeyringMarker;
    places.push_back(std::move(place));
  }
  std::sort(places.begin(), places.end(), [](const SecretPlace& a, const SecretPlace& b) {
    return a.name.view() < b.name.view();
  });
  return places;
}

std::vector<SecretMove> MoveSecretsToKeyring(SettingsStore& store, Keyring& keyring) {
  std::vector<SecretMove> moves;
  const std::string location = store.location();
  for (const SecretPlace& place : ListSecretPlaces(store)) {
    const std::u16string_view name = place.name.view();
    if (place.inKeyring) {
      moves.push_back(Outcome(name, SecretMove::Result::AlreadyThere));
      continue;
    }
    Text stored;
    store.readText(name, stored, u"");
    const std::optional<Text> value = DecryptSecret(stored.ToUtf8(), kBuiltInPassPhrase);
    if (!value) {
      moves.push_back(Outcome(name, SecretMove::Result::Unreadable,
                              "the stored value cannot be decrypted; left as it is"));
      continue;
    }
    const KeyringAttributes attributes = KeyringItemAttributes(location, name);
    const std::string secret = value->ToUtf8();
    const KeyringReply written = keyring.Store(attributes, Label(name), secret);
    if (written.status != KeyringStatus::Ok) {
      moves.push_back(Outcome(name, SecretMove::Result::Failed, Reason(written)));
      continue;
    }
    const KeyringReply check = keyring.Lookup(attributes);
    if (check.status != KeyringStatus::Ok || check.value != secret) {
      // The settings keep the value; the item that does not read back goes.
      keyring.Clear(attributes);
      moves.push_back(Outcome(name, SecretMove::Result::Failed,
                              check.status == KeyringStatus::Ok
                                  ? std::string("the keyring gave back another value")
                                  : Reason(check)));
      continue;
    }
    // The value is safe in the keyring; only now the settings give up their copy.
    if (!store.writeText(name, Text(kKeyringMarker)) || !IsMarker(store, name)) {
      // The settings still hold the protected copy (or the marker); either reads the value.
      moves.push_back(
          Outcome(name, SecretMove::Result::Failed, "the settings could not be written"));
      continue;
    }
    moves.push_back(Outcome(name, SecretMove::Result::Moved));
  }
  if (NoneFailed(moves))
    store.writeNumber(kSecretsInKeyring, 1);
  return moves;
}

std::vector<SecretMove> MoveSecretsToSettings(SettingsStore& store, Keyring& keyring) {
  std::vector<SecretMove> moves;
  const std::string location = store.location();
  for (const SecretPlace& place : ListSecretPlaces(store)) {
    const std::u16string_view name = place.name.view();
    if (!place.inKeyring) {
      // An item left behind by a write the keyring refused is out of date: it goes.
      keyring.Clear(KeyringItemAttributes(location, name));
      moves.push_back(Outcome(name, SecretMove::Result::AlreadyThere));
      continue;
    }
    const KeyringAttributes attributes = KeyringItemAttributes(location, name);
    const KeyringReply found = keyring.Lookup(attributes);
    if (found.status != KeyringStatus::Ok) {
      moves.push_back(Outcome(name, SecretMove::Result::Failed, Reason(found)));
      continue;
    }
    const Text value = Text::FromUtf8(found.value);
    const std::optional<std::string> protectedText = EncryptSecret(value, kBuiltInPassPhrase);
    if (!protectedText) {
      moves.push_back(Outcome(name, SecretMove::Result::Failed, "the value cannot be encrypted"));
      continue;
    }
    const bool written = store.writeText(name, Text::FromUtf8(*protectedText));
    Text back;
    store.readText(name, back, u"");
    const std::optional<Text> readBack = DecryptSecret(back.ToUtf8(), kBuiltInPassPhrase);
    if (!written || !readBack || readBack->view() != value.view()) {
      // Whatever the settings hold now, the marker goes back so the keyring's value is used.
      store.writeText(name, Text(kKeyringMarker));
      moves.push_back(
          Outcome(name, SecretMove::Result::Failed, "the settings could not be written"));
      continue;
    }
    // The settings hold the value; the keyring's copy goes. An item that stays behind is
    // harmless: nothing points to it any more.
    const KeyringReply cleared = keyring.Clear(attributes);
    SecretMove move = Outcome(name, SecretMove::Result::Moved);
    if (cleared.status != KeyringStatus::Ok && cleared.status != KeyringStatus::NotFound)
      move.reason = "its keyring item stays: " + Reason(cleared);
    moves.push_back(std::move(move));
  }
  // Once every value is back, new values stay in the settings too.
  if (NoneFailed(moves))
    store.deleteValue(kSecretsInKeyring);
  return moves;
}

}  // namespace tarvel
