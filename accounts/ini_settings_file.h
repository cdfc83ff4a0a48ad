#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "accounts/store_file.h"

namespace tarvel {

// The settings file of portable mode, in the usual ini form: "[Section]" lines followed by
// "Name=Value" lines, comments starting with ";". Section and value names compare without
// regard to ASCII letter case; values are trimmed and lose one pair of surrounding quotes,
// so values that need them are written quoted. Lines that are not understood are kept as
// they are. Text is UTF-8 (a UTF-16 file with a byte-order mark is read and written back as
// UTF-8). Every change is a locked read-modify-write with an atomic replace.
class IniSettingsFile {
 public:
  explicit IniSettingsFile(std::string path,
                           const StoreFileSystem& fileSystem = StoreFileSystem::System());
  IniSettingsFile(const IniSettingsFile&) = delete;
  IniSettingsFile& operator=(const IniSettingsFile&) = delete;

  const std::string& path() const { return file_.path(); }

  std::optional<std::string> Read(std::string_view section, std::string_view name);
  // Refuses names and values an ini line cannot carry (line breaks; "=" or a leading "[" or
  // ";" in a name; "]" in a section).
  bool Write(std::string_view section, std::string_view name, std::string_view value);
  bool Delete(std::string_view section, std::string_view name);
  bool DeleteSection(std::string_view section);
  std::vector<std::pair<std::string, std::string>> Entries(std::string_view section);
  std::vector<std::string> Sections();
  // False when the file exists but cannot be read (it is left in place), or is too large and
  // cannot be moved aside.
  bool IsUsable();

 private:
  // Brings `lines_` up to date with the file; under the lock. False when unusable.
  bool Refresh();
  bool Save(const std::vector<std::string>& lines);
  // Runs `action` under the mutex and the file lock after a refresh. Reads of a store that
  // has no file yet run on an empty store without creating anything.
  template <typename Action>
  bool Locked(StoreAccess access, Action&& action);

  StoreFile file_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
  StoreFileIdentity identity_;
  bool loaded_ = false;
  bool usable_ = true;
  bool reported_ = false;
  bool utf8Mark_ = false;
  bool crlf_ = false;
};

}  // namespace tarvel
