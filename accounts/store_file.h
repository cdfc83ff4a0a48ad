#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

namespace tarvel {

// What reading a store file found.
enum class StoreFileState {
  Present,     // read completely
  Missing,     // no file yet
  TooLarge,    // larger than the limit: not read
  Unreadable,  // a file that could not be read (permissions, an I/O error)
  NotAFile,    // a folder or a device: never touched
};

// Whether an operation may bring the file into being.
enum class StoreAccess {
  // Works on the file only when there is one: without it the owner's cache is emptied and the
  // action runs with neither lock file nor folder created. Reads, and deletions, which find
  // nothing to remove when there is no file (they still replace an existing file).
  IfPresent,
  // May create the folder, the lock file and the file: writes.
  MayCreate,
};

// The calls a store file is read with. Tests put failures in their place, since a transient
// error (EMFILE, EIO) cannot be brought about on demand.
class StoreFileSystem {
 public:
  virtual ~StoreFileSystem() = default;
  // Like open(2) and read(2): -1 with errno set on failure.
  virtual int Open(const char* path, int flags) const;
  virtual ssize_t Read(int fd, void* buffer, std::size_t size) const;

  static const StoreFileSystem& System();
};

// Identifies one version of a file: every replacement gets a new inode.
struct StoreFileIdentity {
  unsigned long long device = 0;
  unsigned long long inode = 0;
  long long size = -1;
  long long modifiedSeconds = 0;
  long long modifiedNanoseconds = 0;
  bool operator==(const StoreFileIdentity&) const = default;
};

// The one place where settings files are locked, read and replaced. Every change happens
// under an exclusive lock on "<path>.lock", reads the current content, and replaces the file
// atomically (temporary file in the same folder, fsync, rename, fsync of the folder), so
// writers in several processes never lose each other's values and a process killed in the
// middle leaves the old or the new content.
class StoreFile {
 public:
  // Files larger than this are not read: a settings file never grows that large.
  static constexpr std::size_t kMaximumSize = 32u * 1024 * 1024;

  explicit StoreFile(std::string path,
                     const StoreFileSystem& fileSystem = StoreFileSystem::System())
      : path_(std::move(path)), fileSystem_(&fileSystem) {}

  const std::string& path() const { return path_; }

  // Runs `action` while holding the lock. False when the lock could not be taken (the
  // folder cannot be created or the lock file cannot be opened).
  bool WithLock(const std::function<void()>& action) const;

  // Reads the whole file; call under the lock. Unreadable means the file may well be
  // intact: it is never to be moved aside or replaced on that ground.
  StoreFileState Read(std::string& content, StoreFileIdentity* identity = nullptr) const;
  // The identity of the current file; size -1 when there is none.
  StoreFileIdentity CurrentIdentity() const;
  // True when anything (a file, a folder, a dangling link) has the file's name.
  bool ExistsInAnyForm() const;
  // Replaces the content atomically; call under the lock. The file gets mode 0600. Content
  // larger than the limit is refused, since it could never be read back.
  bool Replace(const std::string& content) const;

  // Runs `action` on its owner's cached content, brought up to date: with IfPresent, a store
  // that has no file yet needs neither the lock file nor the folder (`resetToEmpty` empties
  // the cache); otherwise, under the lock, `reload` re-reads the file when it changed. The owner
  // serialises its own threads around the call. False when the lock, the reload or the
  // action fails.
  template <typename ResetToEmpty, typename Reload, typename Action>
  bool Access(StoreAccess access, ResetToEmpty&& resetToEmpty, Reload&& reload,
              Action&& action) const {
    if (path_.empty())
      return false;
    if (access == StoreAccess::IfPresent && !ExistsInAnyForm()) {
      resetToEmpty();
      return action();
    }
    bool result = false;
    const bool locked = WithLock([&] {
      if (reload())
        result = action();
    });
    return locked && result;
  }
  // Renames the file to "<path>.broken-<time>[-n]" so that it is kept for the user; returns
  // the new name, or an empty text when it could not be moved.
  std::string MoveAside() const;

 private:
  std::string path_;
  const StoreFileSystem* fileSystem_;
};

}  // namespace tarvel
