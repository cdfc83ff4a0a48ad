// The move of the protected account values between the settings and a keyring, and the
// store's reads and writes of moved values, over a keyring in memory whose failures the
// cases choose (the real keyring is exercised by the tarvelctl keyring tests).
#include "accounts/keyring_secrets.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "accounts/account_type.h"
#include "accounts/account_type_bits.h"
#include "accounts/protected_text.h"
#include "accounts/settings_store.h"
#include "app/engine_registry.h"
#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

using testing::TempFolder;

// Items by their attributes; each kind of failure can be switched on for some value names.
class MemoryKeyring : public Keyring {
 public:
  KeyringReply Probe() override {
    return Reply(available ? KeyringStatus::Ok : KeyringStatus::Unavailable);
  }
  KeyringReply Lookup(const KeyringAttributes& attributes) override {
    if (!available)
      return Reply(KeyringStatus::Unavailable);
    if (locked)
      return Reply(KeyringStatus::Locked);
    const auto found = items.find(attributes);
    if (found == items.end())
      return Reply(KeyringStatus::NotFound);
    KeyringReply reply = Reply(KeyringStatus::Ok);
    reply.value = found->second;
    if (garbledLookups.count(Name(attributes)))
      reply.value += "?";
    return reply;
  }
  KeyringReply Store(const KeyringAttributes& attributes, std::string_view,
                     std::string_view secret) override {
    {
      // A keyring that is slow to answer holds every store until it is released.
      std::unique_lock<std::mutex> lock(gateMutex);
      gateOpened.wait(lock, [this] { return gateOpen; });
    }
    if (!available)
      return Reply(KeyringStatus::Unavailable);
    if (locked || refusedStores.count(Name(attributes)))
      return Reply(locked ? KeyringStatus::Locked : KeyringStatus::Failed);
    items[attributes] = std::string(secret);
    return Reply(KeyringStatus::Ok);
  }
  KeyringReply Clear(const KeyringAttributes& attributes) override {
    if (!available)
      return Reply(KeyringStatus::Unavailable);
    if (locked)
      return Reply(KeyringStatus::Locked);
    return Reply(items.erase(attributes) ? KeyringStatus::Ok : KeyringStatus::NotFound);
  }

  static std::string Name(const KeyringAttributes& attributes) {
    for (const auto& [key, value] : attributes) {
      if (key == "name")
        return value;
    }
    return {};
  }
  static KeyringReply Reply(KeyringStatus status) {
    KeyringReply reply;
    reply.status = status;
    return reply;
  }

  void HoldStores() {
    const std::lock_guard<std::mutex> lock(gateMutex);
    gateOpen = false;
  }
  void ReleaseStores() {
    {
      const std::lock_guard<std::mutex> lock(gateMutex);
      gateOpen = true;
    }
    gateOpened.notify_all();
  }

  std::mutex gateMutex;
  std::condition_variable gateOpened;
  bool gateOpen = true;
  bool available = true;
  bool locked = false;
  std::set<std::string> refusedStores;
  std::set<std::string> garbledLookups;
  std::map<KeyringAttributes, std::string> items;
};

class KeyringSecrets : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(store.open(SettingsMode::IniFile, nullptr, {}, folder.file("tarvel.ini")));
    for (const auto& [name, value] : kValues)
      ASSERT_TRUE(ProtectText(store, name, Text(value)));
    ASSERT_TRUE(store.writeText(u"EWSServer", Text(u"https://mail.example.com/ews")));
    ASSERT_TRUE(store.writeProtected(u"https://mail.example.com", Text(u"a=b"), kBuiltInPassPhrase,
                                     u"Cookies_00000010"));
  }

  // Every value read back through the store, as the engines read them.
  void ExpectEveryValueReadable(const std::string& when) {
    for (const auto& [name, value] : kValues) {
      bool unreadable = false;
      EXPECT_EQ(UnprotectText(store, name, u"default", &unreadable).view(), value)
          << when << ": " << Text(name).ToUtf8();
      EXPECT_FALSE(unreadable) << when;
    }
  }

  std::string Stored(std::u16string_view name) {
    Text text;
    store.readText(name, text, u"");
    return text.ToUtf8();
  }

  static inline const std::map<std::u16string_view, std::u16string_view> kValues = {
      {u"IMAPUser", u"tester"},
      {u"IMAPPassword2", u"pässwörd ∑ 𝄞"},
      {u"IMAPRefreshToken3", u"1//0refresh-token"},
      {u"EWSPassword", u""},
      {u"NotesPassword", u"line one\nline two"},
      {u"VirgilioEmail", u"someone@virgilio.it"},
  };

  TempFolder folder;
  SettingsStore store;
  MemoryKeyring keyring;
};

TEST_F(KeyringSecrets, ItemsNameTheirAccountAndValue) {
  const KeyringAttributes attributes = KeyringItemAttributes("/home/u/.config/x", u"IMAPPassword2");
  EXPECT_EQ(attributes, (KeyringAttributes{{"application", "tarvel"},
                                           {"store", "/home/u/.config/x"},
                                           {"account", "IMAP2"},
                                           {"name", "IMAPPassword2"}}));
  const std::pair<std::u16string_view, const char*> accounts[] = {
      {u"IMAPUser", "IMAP1"},          {u"IMAPPassword3", "IMAP3"},
      {u"IMAPRefreshToken1", "IMAP1"}, {u"EWSUser", "EWS"},
      {u"iNotesServer", "iNotes"},     {u"NotesPassword", "Notes"},
      {u"VirgilioEmail", "Virgilio"},
  };
  for (const auto& [name, account] : accounts)
    EXPECT_EQ(KeyringAccountOf(name), account) << Text(name).ToUtf8();
}

TEST_F(KeyringSecrets, ARoundTripKeepsEveryValueAndLeavesOnlyMarkers) {
  const std::string cookieBefore = Stored(u"https://mail.example.com");
  std::vector<SecretMove> moves = MoveSecretsToKeyring(store, keyring);
  ASSERT_EQ(moves.size(), kValues.size());
  for (const SecretMove& move : moves)
    EXPECT_EQ(move.result, SecretMove::Result::Moved) << move.name.ToUtf8() << move.reason;
  EXPECT_EQ(keyring.items.size(), kValues.size());
  for (const auto& [name, value] : kValues) {
    EXPECT_EQ(Stored(name), "[keyring]");
    EXPECT_EQ(keyring.items[KeyringItemAttributes(store.location(), name)], Text(value).ToUtf8());
  }
  // Without a source the markers read as unreadable, never as a value.
  bool unreadable = false;
  EXPECT_EQ(UnprotectText(store, u"IMAPUser", u"", &unreadable).view(), u"");
  EXPECT_TRUE(unreadable);
  KeyringSecretSource source(keyring, store.location());
  store.setSecretSource(&source);
  ExpectEveryValueReadable("in the keyring");
  // What is not an account value stays as it was.
  EXPECT_EQ(Stored(u"EWSServer"), "https://mail.example.com/ews");
  Text cookie;
  store.readText(u"https://mail.example.com", cookie, u"", u"Cookies_00000010");
  EXPECT_NE(cookie.view(), u"[keyring]");
  // A second move finds nothing to do.
  for (const SecretMove& move : MoveSecretsToKeyring(store, keyring))
    EXPECT_EQ(move.result, SecretMove::Result::AlreadyThere);

  store.setSecretSource(nullptr);
  moves = MoveSecretsToSettings(store, keyring);
  for (const SecretMove& move : moves)
    EXPECT_EQ(move.result, SecretMove::Result::Moved) << move.name.ToUtf8() << move.reason;
  EXPECT_TRUE(keyring.items.empty());
  ExpectEveryValueReadable("back in the settings");
  for (const auto& [name, value] : kValues)
    EXPECT_NE(Stored(name), "[keyring]");
}

TEST_F(KeyringSecrets, AMoveThatFailsHalfwayLeavesEveryValueReadable) {
  // The keyring refuses one value and gives another back changed: both stay in the settings.
  keyring.refusedStores = {"IMAPUser"};
  keyring.garbledLookups = {"NotesPassword"};
  const std::vector<SecretMove> moves = MoveSecretsToKeyring(store, keyring);
  for (const SecretMove& move : moves) {
    const bool failing = move.name == u"IMAPUser" || move.name == u"NotesPassword";
    EXPECT_EQ(move.result, failing ? SecretMove::Result::Failed : SecretMove::Result::Moved)
        << move.name.ToUtf8();
    EXPECT_EQ(Stored(move.name) == "[keyring]", !failing) << move.name.ToUtf8();
    if (failing) {
      EXPECT_FALSE(move.reason.empty());
    }
  }
  // Only the values that moved have items; the one that did not read back was taken out.
  EXPECT_EQ(keyring.items.size(), kValues.size() - 2);
  // Not every value moved: new values keep going to the settings.
  EXPECT_EQ(store.readNumber(kSecretsInKeyring, 0), 0u);
  keyring.garbledLookups.clear();
  KeyringSecretSource source(keyring, store.location());
  store.setSecretSource(&source);
  ExpectEveryValueReadable("after a partial move");

  // Back, with the keyring locked: nothing moves, the markers stay, nothing is removed.
  store.setSecretSource(nullptr);
  keyring.locked = true;
  const std::size_t items = keyring.items.size();
  for (const SecretMove& move : MoveSecretsToSettings(store, keyring)) {
    if (move.name != u"IMAPUser" && move.name != u"NotesPassword") {
      EXPECT_EQ(move.result, SecretMove::Result::Failed) << move.name.ToUtf8();
      EXPECT_EQ(Stored(move.name), "[keyring]");
    }
  }
  EXPECT_EQ(keyring.items.size(), items);
  keyring.locked = false;
  store.setSecretSource(&source);
  ExpectEveryValueReadable("after a refused move back");
}

TEST_F(KeyringSecrets, WritesOfMovedValuesGoToTheKeyringAndFallBackWhenItRefuses) {
  ASSERT_EQ(MoveSecretsToKeyring(store, keyring).size(), kValues.size());
  EXPECT_EQ(store.readNumber(kSecretsInKeyring, 0), 1u);
  KeyringSecretSource source(keyring, store.location());
  store.setSecretSource(&source);

  // A changed password and a value written for the first time both go to the keyring.
  ASSERT_TRUE(ProtectText(store, u"IMAPPassword2", Text(u"changed")));
  ASSERT_TRUE(ProtectText(store, u"EWSUser", Text(u"new user")));
  EXPECT_EQ(Stored(u"IMAPPassword2"), "[keyring]");
  EXPECT_EQ(Stored(u"EWSUser"), "[keyring]");
  EXPECT_EQ(keyring.items[KeyringItemAttributes(store.location(), u"EWSUser")], "new user");
  EXPECT_EQ(UnprotectText(store, u"IMAPPassword2", u"").view(), u"changed");

  // A locked keyring: reads say so and give the default, a write keeps the value in the
  // settings instead of losing it.
  keyring.locked = true;
  bool unreadable = false;
  EXPECT_EQ(UnprotectText(store, u"IMAPUser", u"", &unreadable).view(), u"");
  EXPECT_TRUE(unreadable);
  // A form saved with the value it could not show (empty) does not wipe the kept value.
  EXPECT_FALSE(ProtectText(store, u"IMAPUser", Text()));
  EXPECT_EQ(Stored(u"IMAPUser"), "[keyring]");
  ASSERT_TRUE(ProtectText(store, u"NotesPassword", Text(u"typed while locked")));
  EXPECT_NE(Stored(u"NotesPassword"), "[keyring]");
  unreadable = false;
  EXPECT_EQ(UnprotectText(store, u"NotesPassword", u"", &unreadable).view(), u"typed while locked");
  EXPECT_FALSE(unreadable);

  // Deleting a moved value removes its item too.
  keyring.locked = false;
  EXPECT_EQ(UnprotectText(store, u"IMAPUser", u"").view(), u"tester");
  const std::size_t items = keyring.items.size();
  ASSERT_TRUE(store.deleteValue(u"EWSUser"));
  EXPECT_EQ(keyring.items.size(), items - 1);
}

// Each engine that reads a kept value tells when the keyring cannot give it, and stops telling
// once it can: its checks then fail with the keyring's reason instead of signing in with
// nothing.
TEST_F(KeyringSecrets, EnginesTellAKeptValueTheKeyringCannotGive) {
  ASSERT_EQ(MoveSecretsToKeyring(store, keyring).size(), kValues.size());
  KeyringSecretSource source(keyring, store.location());
  store.setSecretSource(&source);
  for (const uint32_t typeBit : {type_bits::kImap1, type_bits::kImap2, type_bits::kImap3,
                                 type_bits::kExchange, type_bits::kNotes, type_bits::kVirgilio}) {
    const AccountTypeInfo* type = nullptr;
    for (const AccountTypeInfo& candidate : kAccountTypes) {
      if (candidate.typeBit == typeBit)
        type = &candidate;
    }
    ASSERT_NE(type, nullptr) << typeBit;
    SCOPED_TRACE(Text(type->internalName).ToUtf8());
    EngineContext context;
    context.settings = &store;
    const std::unique_ptr<MailEngine> engine = CreateEngine(*type, context);
    ASSERT_NE(engine, nullptr);
    keyring.locked = true;
    engine->LoadSettings(store);
    EXPECT_TRUE(engine->secretsUnreadable());
    keyring.locked = false;
    engine->LoadSettings(store);
    EXPECT_FALSE(engine->secretsUnreadable());
  }
}

// The desktop program's source: loaded once, read from memory, written in the background.
TEST_F(KeyringSecrets, TheCachedSourceNeverWaitsForTheKeyringAndLosesNoWrite) {
  ASSERT_EQ(MoveSecretsToKeyring(store, keyring).size(), kValues.size());
  {
    CachedSecretSource source(keyring, store);
    store.setSecretSource(&source);
    // Before the load nothing is known: reads say so.
    bool unreadable = false;
    UnprotectText(store, u"IMAPUser", u"", &unreadable);
    EXPECT_TRUE(unreadable);
    EXPECT_FALSE(ProtectText(store, u"IMAPUser", Text()));
    source.Load();
    ExpectEveryValueReadable("loaded");

    // With the keyring holding every store, a write returns at once and reads see it.
    keyring.HoldStores();
    ASSERT_TRUE(ProtectText(store, u"IMAPPassword2", Text(u"changed")));
    EXPECT_EQ(UnprotectText(store, u"IMAPPassword2", u"").view(), u"changed");
    keyring.ReleaseStores();
    source.Flush();
    EXPECT_EQ(keyring.items[KeyringItemAttributes(store.location(), u"IMAPPassword2")], "changed");
    EXPECT_EQ(Stored(u"IMAPPassword2"), "[keyring]");

    // A write the keyring refuses lands in the settings, protected.
    keyring.locked = true;
    ASSERT_TRUE(ProtectText(store, u"NotesPassword", Text(u"kept anyway")));
    source.Flush();
    EXPECT_NE(Stored(u"NotesPassword"), "[keyring]");
    store.setSecretSource(nullptr);
    EXPECT_EQ(UnprotectText(store, u"NotesPassword", u"").view(), u"kept anyway");
    store.setSecretSource(&source);
    // Once the keyring takes the value again, the settings point to it again.
    keyring.locked = false;
    ASSERT_TRUE(ProtectText(store, u"NotesPassword", Text(u"in the keyring again")));
    // The source finishes its pending writes when it goes.
    keyring.HoldStores();
    ASSERT_TRUE(ProtectText(store, u"EWSPassword", Text(u"written last")));
    std::thread release([this] { keyring.ReleaseStores(); });
    store.setSecretSource(nullptr);
    release.join();
  }
  EXPECT_EQ(Stored(u"NotesPassword"), "[keyring]");
  EXPECT_EQ(keyring.items[KeyringItemAttributes(store.location(), u"NotesPassword")],
            "in the keyring again");
  EXPECT_EQ(keyring.items[KeyringItemAttributes(store.location(), u"EWSPassword")], "written last");
}

}  // namespace
}  // namespace tarvel
