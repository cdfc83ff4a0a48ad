#include "accounts/store_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "platform/file_replacement.h"

namespace tarvel {

namespace {

// Closes a descriptor when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports whether the close succeeded.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

StoreFileIdentity IdentityOf(const struct stat& info) {
  StoreFileIdentity identity;
  identity.device = static_cast<unsigned long long>(info.st_dev);
  identity.inode = static_cast<unsigned long long>(info.st_ino);
  identity.size = static_cast<long long>(info.st_size);
  identity.modifiedSeconds = static_cast<long long>(info.st_mtim.tv_sec);
  identity.modifiedNanoseconds = static_cast<long long>(info.st_mtim.tv_nsec);
  return identity;
}

}  // namespace

int StoreFileSystem::Open(const char* path, int flags) const {
  return ::open(path, flags);
}

ssize_t StoreFileSystem::Read(int fd, void* buffer, std::size_t size) const {
  return ::read(fd, buffer, size);
}

const StoreFileSystem& StoreFileSystem::System() {
  static const StoreFileSystem system;
  return system;
}

bool StoreFile::WithLock(const std::function<void()>& action) const {
  if (!CreateFolders(FolderOf(path_)))
    return false;
  const std::string lockPath = path_ + ".lock";
  Descriptor lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!lock.valid())
    return false;
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR)
      return false;
  }
  action();
  // Closing the descriptor releases the lock.
  return true;
}

StoreFileState StoreFile::Read(std::string& content, StoreFileIdentity* identity) const {
  content.clear();
  Descriptor file(fileSystem_->Open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.valid()) {
    if (errno == ENOENT)
      return StoreFileState::Missing;
    struct stat info {};
    if (::stat(path_.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
      return StoreFileState::NotAFile;
    return StoreFileState::Unreadable;
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0)
    return StoreFileState::Unreadable;
  if (!S_ISREG(info.st_mode))
    return StoreFileState::NotAFile;
  if (identity)
    *identity = IdentityOf(info);
  if (static_cast<unsigned long long>(info.st_size) > kMaximumSize)
    return StoreFileState::TooLarge;
  char buffer[65536];
  for (;;) {
    const ssize_t got = fileSystem_->Read(file.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR)
        continue;
      content.clear();
      return StoreFileState::Unreadable;
    }
    if (got == 0)
      break;
    if (content.size() + static_cast<std::size_t>(got) > kMaximumSize) {
      content.clear();
      return StoreFileState::TooLarge;
    }
    content.append(buffer, static_cast<std::size_t>(got));
  }
  return StoreFileState::Present;
}

StoreFileIdentity StoreFile::CurrentIdentity() const {
  struct stat info {};
  if (::stat(path_.c_str(), &info) != 0)
    return {};
  return IdentityOf(info);
}

bool StoreFile::ExistsInAnyForm() const {
  struct stat info {};
  return ::lstat(path_.c_str(), &info) == 0 || errno != ENOENT;
}

bool StoreFile::Replace(const std::string& content) const {
  if (content.size() > kMaximumSize)
    return false;
  RemoveStaleReplacements(path_);
  return ReplaceFileContent(path_, content);
}

std::string StoreFile::MoveAside() const {
  char stamp[32] = {};
  const std::time_t now = std::time(nullptr);
  struct tm parts {};
  if (::localtime_r(&now, &parts) == nullptr ||
      std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &parts) == 0) {
    stamp[0] = '0';
    stamp[1] = '\0';
  }
  const std::string base = path_ + ".broken-" + stamp;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string target = attempt == 0 ? base : base + "-" + std::to_string(attempt);
    // link + unlink never replaces an earlier kept file, which rename would.
    if (::link(path_.c_str(), target.c_str()) == 0) {
      ::unlink(path_.c_str());
      return target;
    }
    if (errno == EEXIST)
      continue;
    // File systems without hard links: rename to a name checked to be free.
    struct stat existing {};
    if (::lstat(target.c_str(), &existing) != 0 && errno == ENOENT &&
        ::rename(path_.c_str(), target.c_str()) == 0)
      return target;
    return {};
  }
  return {};
}

}  // namespace tarvel
