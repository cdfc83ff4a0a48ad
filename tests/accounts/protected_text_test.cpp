#include "accounts/protected_text.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "accounts/registry_store.h"
#include "accounts/settings_store.h"
#include "platform/base64.h"
#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

std::string Hex(const std::string& bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    out += kHex[static_cast<unsigned char>(c) >> 4];
    out += kHex[static_cast<unsigned char>(c) & 0xF];
  }
  return out;
}

TEST(ProtectedText, BuildingBlocksMatchPublishedVectors) {
  // RC4 test vectors of the original publication.
  EXPECT_EQ(Hex(Rc4("Key", "Plaintext")), "bbf316e8d940af0ad3");
  EXPECT_EQ(Hex(Rc4("Secret", "Attack at dawn")), "45a01f645fc35b383552544b9bf5");
  // Base64 vectors of RFC 4648.
  const std::pair<const char*, const char*> base64[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : base64) {
    EXPECT_EQ(EncodeBase64(plain), encoded);
    EXPECT_EQ(DecodeBase64(encoded), plain);
  }
  // Characters outside the alphabet are skipped.
  EXPECT_EQ(DecodeBase64("Zm9v\r\nYm Fy!"), "foobar");
  EXPECT_EQ(Hex(HashData(HashAlgorithm::Md5, "").value()), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Hex(HashData(HashAlgorithm::Sha256, "abc").value()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  std::array<uint8_t, 32> random{};
  EXPECT_TRUE(RandomBytes(random));
  EXPECT_NE(random, (std::array<uint8_t, 32>{}));
}

TEST(ProtectedText, TheBuiltInPassPhraseHasItsFixedForm) {
  ASSERT_EQ(kBuiltInPassPhrase.size(), 8u);
  EXPECT_TRUE(kBuiltInPassPhrase[0] >= 'A' && kBuiltInPassPhrase[0] <= 'Z');
  for (std::size_t i = 1; i < 6; ++i)
    EXPECT_TRUE(kBuiltInPassPhrase[i] >= 'a' && kBuiltInPassPhrase[i] <= 'z');
  EXPECT_TRUE(std::ispunct(static_cast<unsigned char>(kBuiltInPassPhrase[6])));
  EXPECT_TRUE(kBuiltInPassPhrase[7] >= 1 && kBuiltInPassPhrase[7] <= 31);
}

TEST(ProtectedText, StoredFormIsBase64OfTheEncipheredUtf16) {
  const std::string stored = EncryptSecret(Text(u"abcde"), kBuiltInPassPhrase).value();
  // Five characters: 12 plain bytes, 16 Base64 characters.
  EXPECT_EQ(stored.size(), 16u);
  const std::string key = HashData(HashAlgorithm::Md5, kBuiltInPassPhrase).value();
  EXPECT_EQ(Rc4(key, DecodeBase64(stored)), std::string("a\0b\0c\0d\0e\0\0\0", 12));
  // The empty text is the two zero bytes alone.
  EXPECT_EQ(EncryptSecret(Text(), kBuiltInPassPhrase)->size(), 4u);
  EXPECT_EQ(DecryptSecret(*EncryptSecret(Text(), kBuiltInPassPhrase), kBuiltInPassPhrase), u"");
}

struct ProtectedInStore : ::testing::Test {
  void SetUp() override {
    ASSERT_TRUE(store.open(SettingsMode::Registry, &registry, kSettingsKeyPath));
  }
  testing::TempFolder folder;
  RegistryStore registry{folder.file("registry")};
  SettingsStore store;
};

TEST_F(ProtectedInStore, SecretsRoundTripWhateverTheirCharacters) {
  const Text cases[] = {
      Text(u"abcde"),
      Text(u"pässwörd"),
      Text(u"Пароль \u20AC \U0001F511"),  // outside Latin-1, with a surrogate pair
      Text(std::u16string_view(std::u16string(5000, u'k'))),
  };
  for (const Text& secret : cases) {
    SCOPED_TRACE(secret.ToUtf8().substr(0, 20));
    ASSERT_TRUE(ProtectText(store, u"EWSPassword", secret));
    EXPECT_EQ(UnprotectText(store, u"EWSPassword", u"default"), secret.view());
    Text stored;
    store.readText(u"EWSPassword", stored, u"");
    EXPECT_NE(stored, secret.view());
    ASSERT_TRUE(store.writeProtected(u"c", secret, kBuiltInPassPhrase, u"Cookies_00000002"));
    EXPECT_EQ(store.readProtected(u"c", u"", kBuiltInPassPhrase, u"Cookies_00000002"),
              secret.view());
  }
}

TEST_F(ProtectedInStore, AValueNotWrittenAsSecretNeverReadsAsItself) {
  const char16_t* cases[] = {
      u"hunter2", u"secret", u"password123",
      u"AAAA",  // decodes to zero bytes that decipher to garbage
      u"!!!",   // nothing of the alphabet
      u"",
  };
  for (const char16_t* plain : cases) {
    SCOPED_TRACE(Text(plain).ToUtf8());
    ASSERT_TRUE(store.writeText(u"EWSPassword", Text(plain)));
    const Text read = UnprotectText(store, u"EWSPassword", u"default");
    EXPECT_NE(read, std::u16string_view(plain));
  }
  EXPECT_EQ(UnprotectText(store, u"Missing", u"default"), u"default");
  // Another pass phrase does not open it either.
  ASSERT_TRUE(ProtectText(store, u"EWSPassword", Text(u"hunter2")));
  EXPECT_NE(store.readProtected(u"EWSPassword", u"", "Otherp#\x01"), u"hunter2");
}

TEST(ProtectedText, KnowsWhichSettingsHoldSecrets) {
  EXPECT_TRUE(IsProtectedSetting(u"", u"EWSPassword"));
  EXPECT_TRUE(IsProtectedSetting(u"", u"imappassword2"));
  EXPECT_TRUE(IsProtectedSetting(u"", u"IMAPRefreshToken3"));
  EXPECT_TRUE(IsProtectedSetting(u"Cookies_0000A0F2", u"anything"));
  EXPECT_FALSE(IsProtectedSetting(u"", u"EWSServer"));
  EXPECT_FALSE(IsProtectedSetting(u"Cookies_xyz", u"a"));
  EXPECT_FALSE(IsProtectedSetting(u"IMAPFolders0", u"EWSPassword"));
}

}  // namespace
}  // namespace tarvel
