#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/text.h"

namespace tarvel {

class SettingsStore;

// Stored secrets (user names, passwords, tokens, web cookies) are kept out of plain sight:
// the text is enciphered with RC4 under a key derived from a pass phrase built into the
// program and stored as Base64 text. Anyone with the program can undo this; it hides
// secrets from casual reading of the settings, nothing more.
//
// The built-in pass phrase: six letters, a punctuation character and a control byte.
inline constexpr std::string_view kBuiltInPassPhrase{"Quilmo#\x0B", 8};

// RC4 over `data` with `key` (1 to 256 bytes); enciphering and deciphering are the same.
std::string Rc4(std::string_view key, std::string_view data);

// The stored form of a secret: Base64 of the RC4-enciphered UTF-16LE units of the text and
// one zero unit. Nothing when the key cannot be derived.
std::optional<std::string> EncryptSecret(const Text& text, std::string_view passPhrase);
// The text back from its stored form; nothing when it does not decode to bytes that end in
// a zero unit.
std::optional<Text> DecryptSecret(std::string_view stored, std::string_view passPhrase);

// Stores or reads a secret under the built-in pass phrase. ProtectText writes nothing when
// the encryption fails; UnprotectText gives `defaultValue` when the value is missing or
// cannot be decoded, and sets `keptUnreadable` when the value is kept in a keyring that
// cannot give it now.
bool ProtectText(SettingsStore& store, std::u16string_view name, const Text& text);
Text UnprotectText(const SettingsStore& store, std::u16string_view name,
                   std::u16string_view defaultValue, bool* keptUnreadable = nullptr);

// Hash algorithms by the identifiers the program has always used for them.
enum class HashAlgorithm : uint32_t {
  Md5 = 0x8003,
  Sha256 = 0x800C,
};

// The digest of `bytes`; nothing when the algorithm is not available.
std::optional<std::string> HashData(HashAlgorithm algorithm, std::string_view bytes);

// Fills `buffer` with cryptographically strong random bytes; false on failure.
bool RandomBytes(std::span<uint8_t> buffer);

// Whether a value of the store holds a secret: the protected value names of the accounts,
// and every value of a cookie group "Cookies_%08X".
bool IsProtectedSetting(std::u16string_view group, std::u16string_view name);

}  // namespace tarvel
