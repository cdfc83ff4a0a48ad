#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace tarvel {

class RegistryStore;
class IniSettingsFile;
class SecretSource;

// Where the settings live.
enum class SettingsMode : uint32_t {
  Registry = 1,  // the per-user registry store
  IniFile = 2,   // the portable settings file beside the program
};

// The program's key in the per-user registry, and the ini section of values without a group.
inline constexpr std::u16string_view kSettingsKeyPath = u"Software\\Quorline\\Tarvel";
inline constexpr std::u16string_view kSettingsSection = u"Settings";

// A value as it is stored, for listing and inspection.
struct StoredSetting {
  enum class Kind {
    Number,  // a DWORD or QWORD of the registry
    Text,    // a string; every value of the ini file
    Binary,  // raw bytes of the registry
  };
  Text name;
  Kind kind = Kind::Text;
  uint64_t number = 0;
  Text text;
  std::string bytes;
};

// The settings file of portable mode for a program file: its folder, its name without an
// extension of up to three characters, and ".ini".
std::string PortableSettingsPath(std::string_view programPath);

// The one store every part of the program reads and writes its settings through, by value
// name and an optional group (a subkey in the registry, a section in the ini file). Reads
// give the default when the store cannot be read; writes report failure.
class SettingsStore {
 public:
  SettingsStore();
  ~SettingsStore();
  SettingsStore(const SettingsStore&) = delete;
  SettingsStore& operator=(const SettingsStore&) = delete;

  // Opens the registry mode on `root` under `keyPath`, or the ini file at `filePath` (which
  // need not exist). False when the mode's arguments are missing.
  bool open(SettingsMode mode, RegistryStore* root, std::u16string_view keyPath,
            std::string filePath = {});
  // Every write is saved at once; closing only detaches the store.
  void close();

  bool isOpen() const { return mode_ != 0; }
  SettingsMode mode() const { return static_cast<SettingsMode>(mode_); }
  // The ini file, or the registry store's file.
  std::string location() const;
  // False when the store's file exists but can neither be read nor moved aside.
  bool isUsable() const;

  uint64_t readNumber(std::u16string_view name, uint64_t defaultValue,
                      std::u16string_view group = {}) const;
  bool writeNumber(std::u16string_view name, uint64_t value, std::u16string_view group = {});
  // True when the value was found; in ini mode always true.
  bool readText(std::u16string_view name, Text& result, std::u16string_view defaultValue,
                std::u16string_view group = {}) const;
  bool writeText(std::u16string_view name, const Text& text, std::u16string_view group = {});
  // Protected values: the text encrypted with the pass phrase, stored as Base64 text. A value
  // whose stored text is the keyring marker is read from and written to the secret source;
  // when the source cannot give it, the read gives the default and sets `keptUnreadable`.
  // When the source cannot take a written value, the value is stored protected here instead,
  // so it is never lost.
  Text readProtected(std::u16string_view name, std::u16string_view defaultValue,
                     std::string_view passPhrase, std::u16string_view group = {},
                     bool* keptUnreadable = nullptr) const;
  bool writeProtected(std::u16string_view name, const Text& text, std::string_view passPhrase,
                      std::u16string_view group = {});
  // Deletes the value, and its keyring item when it is kept there.
  bool deleteValue(std::u16string_view name, std::u16string_view group = {});

  // Where the values kept in the keyring are read and written; null: nowhere, and they read
  // as unreadable. The source outlives the store's use of it.
  void setSecretSource(SecretSource* source) { secrets_ = source; }
  SecretSource* secretSource() const { return secrets_; }
  bool deleteGroup(std::u16string_view group);

  // Inspection: one value as stored, the values of a group, and the names of the groups.
  std::optional<StoredSetting> readStored(std::u16string_view name,
                                          std::u16string_view group = {}) const;
  std::vector<StoredSetting> listValues(std::u16string_view group = {}) const;
  std::vector<Text> listGroups() const;

 private:
  std::string RegistryKey(std::u16string_view group) const;

  uint32_t mode_ = 0;
  RegistryStore* registry_ = nullptr;
  Text keyPath_;
  std::unique_ptr<IniSettingsFile> ini_;
  SecretSource* secrets_ = nullptr;
};

}  // namespace tarvel
