#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "accounts/store_file.h"

namespace tarvel {

// Types of registry values, with the numbers the Windows registry gives them.
enum class RegistryValueType : uint32_t {
  String = 1,
  Binary = 3,
  Dword = 4,
  Qword = 11,
};

// One typed value. Strings hold UTF-8 text; the other types hold their raw bytes, numbers
// little-endian.
struct RegistryValue {
  RegistryValueType type = RegistryValueType::String;
  std::string data;

  static RegistryValue Dword(uint32_t value);
  static RegistryValue Qword(uint64_t value);
  static RegistryValue String(std::string utf8);
  static RegistryValue Binary(std::string bytes);

  // The value read into a cleared 8-byte buffer, whatever its type: a DWORD gives its 32-bit
  // value. Nothing for strings and for data longer than the buffer.
  std::optional<uint64_t> AsNumber() const;

  bool operator==(const RegistryValue&) const = default;
};

// What the store found in its file.
enum class RegistryStoreCondition {
  Healthy,     // the file was read, or there is none yet
  Recovered,   // the content was damaged: it was moved aside and the store started empty
  Unreadable,  // the file cannot be read (it is left in place), or its damaged content cannot
               // be moved aside: reads give nothing, writes fail
};

// The per-user registry: a tree of keys (paths of names separated by "\") holding typed
// values, kept in one file. Key and value names compare without regard to ASCII letter
// case, as in the Windows registry. Every operation sees the file's latest content; every
// change is a locked read-modify-write with an atomic replace, so several processes can
// share the file. Safe to use from several threads.
class RegistryStore {
 public:
  // Limits on names from the Windows registry; longer ones are refused.
  static constexpr std::size_t kMaximumKeyPathBytes = 1024;
  static constexpr std::size_t kMaximumValueNameBytes = 16383;

  explicit RegistryStore(std::string filePath,
                         const StoreFileSystem& fileSystem = StoreFileSystem::System());
  RegistryStore(const RegistryStore&) = delete;
  RegistryStore& operator=(const RegistryStore&) = delete;

  // "$XDG_CONFIG_HOME/Quorline/registry", with "$HOME/.config" when XDG_CONFIG_HOME is unset
  // or not absolute; empty when neither is known.
  static std::string DefaultPath();

  const std::string& path() const { return file_.path(); }

  std::optional<RegistryValue> ReadValue(std::string_view key, std::string_view name);
  // Creates the key and its parents as needed.
  bool WriteValue(std::string_view key, std::string_view name, const RegistryValue& value);
  // True when the value existed and was removed.
  bool DeleteValue(std::string_view key, std::string_view name);
  // Removes the key with all its subkeys and values; true when it existed.
  bool DeleteKey(std::string_view key);
  bool KeyExists(std::string_view key);
  // The key's values in name order, and the names of its direct subkeys.
  std::vector<std::pair<std::string, RegistryValue>> Values(std::string_view key);
  std::vector<std::string> Subkeys(std::string_view key);

  // The condition found by the last operation.
  RegistryStoreCondition condition();

  // The file format on its own: the content read and written back in the form the store
  // writes it; nothing when it is not a valid store file. Writing a reformatted content
  // back changes nothing.
  static std::optional<std::string> Reformat(std::string_view content);

 private:
  struct Key {
    std::string path;  // as first written
    // Folded name -> (name as written, value).
    std::map<std::string, std::pair<std::string, RegistryValue>> values;
  };
  // Folded path -> key. The root key "" always exists.
  using Tree = std::map<std::string, Key>;

  // Brings the cached tree up to date with the file; under the file lock and the mutex.
  // False when the file cannot be read (and was not moved aside).
  bool Refresh();
  static std::optional<Tree> Parse(std::string_view content);
  static std::string Format(const Tree& tree);
  bool Save(const Tree& tree);
  // Runs `action` under the mutex and the file lock after a refresh. Reads of a store that
  // has no file yet run on an empty store without creating anything.
  template <typename Action>
  bool Locked(StoreAccess access, Action&& action);

  StoreFile file_;
  std::mutex mutex_;
  Tree tree_;
  StoreFileIdentity identity_;
  bool loaded_ = false;
  bool reported_ = false;
  RegistryStoreCondition condition_ = RegistryStoreCondition::Healthy;
};

}  // namespace tarvel
