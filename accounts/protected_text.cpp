#include "accounts/protected_text.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>

#include "accounts/settings_store.h"
#include "platform/ascii_bytes.h"
#include "platform/base64.h"

namespace tarvel {

namespace {

// The cipher key: the whole 128-bit MD5 digest of the pass phrase. A provider with a shorter
// default RC4 key would use only part of it; this program always uses all 16 bytes.
std::optional<std::string> DeriveKey(std::string_view passPhrase) {
  return HashData(HashAlgorithm::Md5, passPhrase);
}

}  // namespace

std::string Rc4(std::string_view key, std::string_view data) {
  std::string out(data);
  if (key.empty())
    return out;
  std::array<uint8_t, 256> state{};
  for (std::size_t i = 0; i < 256; ++i)
    state[i] = static_cast<uint8_t>(i);
  uint8_t j = 0;
  for (std::size_t i = 0; i < 256; ++i) {
    j = static_cast<uint8_t>(j + state[i] + static_cast<uint8_t>(key[i % key.size()]));
    std::swap(state[i], state[j]);
  }
  uint8_t x = 0;
  uint8_t y = 0;
  for (char& byte : out) {
    x = static_cast<uint8_t>(x + 1);
    y = static_cast<uint8_t>(y + state[x]);
    std::swap(state[x], state[y]);
    byte = static_cast<char>(static_cast<uint8_t>(byte) ^
                             state[static_cast<uint8_t>(state[x] + state[y])]);
  }
  return out;
}

std::optional<std::string> EncryptSecret(const Text& text, std::string_view passPhrase) {
  const std::optional<std::string> key = DeriveKey(passPhrase);
  if (!key)
    return std::nullopt;
  std::string plain;
  plain.reserve(static_cast<std::size_t>(text.length()) * 2 + 2);
  for (const char16_t unit : text.view()) {
    plain += static_cast<char>(unit & 0xFF);
    plain += static_cast<char>(unit >> 8);
  }
  plain.append(2, '\0');
  return EncodeBase64(Rc4(*key, plain));
}

std::optional<Text> DecryptSecret(std::string_view stored, std::string_view passPhrase) {
  const std::string cipher = DecodeBase64(stored);
  if (cipher.size() < 2)
    return std::nullopt;
  const std::optional<std::string> key = DeriveKey(passPhrase);
  if (!key)
    return std::nullopt;
  const std::string plain = Rc4(*key, cipher);
  std::u16string units;
  for (std::size_t i = 0; i + 1 < plain.size(); i += 2) {
    const auto unit = static_cast<char16_t>(static_cast<uint8_t>(plain[i]) |
                                            (static_cast<uint8_t>(plain[i + 1]) << 8));
    if (unit == 0)
      return Text(units);
    units += unit;
  }
  // No terminating zero unit: this was not written by EncryptSecret with this pass phrase.
  return std::nullopt;
}

bool ProtectText(SettingsStore& store, std::u16string_view name, const Text& text) {
  return store.writeProtected(name, text, kBuiltInPassPhrase);
}

Text UnprotectText(const SettingsStore& store, std::u16string_view name,
                   std::u16string_view defaultValue, bool* keptUnreadable) {
  return store.readProtected(name, defaultValue, kBuiltInPassPhrase, {}, keptUnreadable);
}

std::optional<std::string> HashData(HashAlgorithm algorithm, std::string_view bytes) {
  const EVP_MD* digest = nullptr;
  switch (algorithm) {
    case HashAlgorithm::Md5:
      digest = EVP_md5();
      break;
    case HashAlgorithm::Sha256:
      digest = EVP_sha256();
      break;
  }
  if (!digest)
    return std::nullopt;
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), out, &size, digest, nullptr) != 1)
    return std::nullopt;
  return std::string(reinterpret_cast<const char*>(out), size);
}

bool RandomBytes(std::span<uint8_t> buffer) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const std::size_t chunk = std::min<std::size_t>(buffer.size() - done, 1u << 20);
    if (RAND_bytes(buffer.data() + done, static_cast<int>(chunk)) != 1)
      return false;
    done += chunk;
  }
  return true;
}

bool IsProtectedSetting(std::u16string_view group, std::u16string_view name) {
  if (group.size() == 16 && ascii_bytes::EqualsNoCase(group.substr(0, 8), u"Cookies_")) {
    bool hex = true;
    for (const char16_t c : group.substr(8)) {
      hex = hex && ascii_bytes::HexDigitValue(c) >= 0;
    }
    if (hex)
      return true;
  }
  if (!group.empty())
    return false;
  static constexpr std::u16string_view kProtectedNames[] = {
      u"EWSUser",           u"EWSPassword",       u"IMAPUser",          u"IMAPUser2",
      u"IMAPUser3",         u"IMAPPassword",      u"IMAPPassword2",     u"IMAPPassword3",
      u"IMAPRefreshToken1", u"IMAPRefreshToken2", u"IMAPRefreshToken3", u"iNotesServer",
      u"iNotesName",        u"iNotesPassword",    u"NotesPassword",     u"VirgilioEmail",
      u"VirgilioPassword",
  };
  for (const std::u16string_view protectedName : kProtectedNames) {
    if (ascii_bytes::EqualsNoCase(name, protectedName))
      return true;
  }
  return false;
}

}  // namespace tarvel
