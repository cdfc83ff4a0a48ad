#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace tarvel {

// A new version of a file, written beside it under "<path>.tmp-XXXXXX" and put in its place
// in one step: the temporary file is synced, renamed over the target and the folder synced, so
// a crash leaves the old or the new content and never a mix. Until Commit succeeds the target
// is not touched; a replacement that is dropped without Commit removes its temporary file.
class FileReplacement {
 public:
  explicit FileReplacement(std::string path, mode_t mode = 0600);
  ~FileReplacement();
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  // False when the temporary file could not be created.
  bool valid() const { return descriptor_ >= 0; }
  // Where to write the new content.
  int descriptor() const { return descriptor_; }
  // Syncs the new content and renames it over the target. False (and the target untouched)
  // when any step fails.
  bool Commit();

 private:
  std::string path_;
  std::string temporary_;
  int descriptor_ = -1;
};

// The folder of a path: "." when it names none, "/" for an entry of the root.
std::string FolderOf(const std::string& path);
// The last component of a path (all of it when it has no slash).
std::string NameOf(const std::string& path);

// Creates the folder and its missing parents (mode 0700). True when it exists afterwards.
bool CreateFolders(const std::string& folder);

// Replaces the content of `path` atomically, as FileReplacement does.
bool ReplaceFileContent(const std::string& path, std::string_view content, mode_t mode = 0600);

// Removes the temporary files that writers of `path` left when they were killed before their
// rename. Call only under the owner's lock, when no other writer can have one open.
void RemoveStaleReplacements(const std::string& path);

}  // namespace tarvel
