#include "maintenance/trace_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/file_replacement.h"

namespace tarvel {

namespace {

// Creates the folder and its missing parents, each new one with mode 0700.
// Opens the folder when nobody else can put a file of theirs under the log's name: a real
// folder (not a link to one) that is the user's own and writable by nobody else (it is made
// private, 0700), or a shared folder with the sticky bit (such as /tmp itself), where the
// checks on the file keep others out. A folder under a shared root may have been put there
// by someone else, to catch what we write.
int OpenOwnFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0)
    return -1;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode)) {
    ::close(fd);
    return -1;
  }
  const bool ownedByUs = info.st_uid == ::geteuid();
  const bool sharedWithStickyBit = (info.st_mode & S_ISVTX) != 0 && (ownedByUs || info.st_uid == 0);
  if (sharedWithStickyBit)
    return fd;
  if (!ownedByUs || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    ::close(fd);
    return -1;
  }
  // Readable by others (made by an older version, say): the trace is nobody else's business.
  if ((info.st_mode & 077) != 0)
    ::fchmod(fd, 0700);
  return fd;
}

}  // namespace

TraceLog::TraceLog(std::string path, uint64_t sizeCap)
    : path_(std::move(path)), folder_(FolderOf(path_)), name_(NameOf(path_)), sizeCap_(sizeCap) {
  std::lock_guard lock(mutex_);
  // Whoever made the folder, OpenOwnFolder checks what is there before it is used.
  CreateFolders(folder_);
  folderFd_ = OpenOwnFolder(folder_);
  OpenFile();
}

TraceLog::~TraceLog() {
  if (fd_ >= 0)
    ::close(fd_);
  if (folderFd_ >= 0)
    ::close(folderFd_);
}

std::string TraceLog::FallbackFolder(const std::string& sharedRoot) {
  return sharedRoot + "/tarvel-trace-" + std::to_string(::geteuid());
}

std::string TraceLog::DefaultPath() {
  std::string base;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/') {
    base = state;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = std::string(home) + "/.local/state";
  } else {
    return FallbackFolder("/tmp") + "/trace.log";
  }
  return base + "/Quorline/Tarvel/trace.log";
}

void TraceLog::OpenFile() {
  fd_ = -1;
  size_ = 0;
  if (folderFd_ < 0)
    return;
  // Never through a link, and only a plain file of ours with no other name.
  const int fd = ::openat(folderFd_, name_.c_str(),
                          O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0)
    return;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
      info.st_nlink != 1) {
    ::close(fd);
    return;
  }
  fd_ = fd;
  size_ = static_cast<uint64_t>(info.st_size);
}

void TraceLog::Record(std::string_view entry) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm parts{};
  localtime_r(&seconds, &parts);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d [%ld] ",
                parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min,
                parts.tm_sec, static_cast<int>(milliseconds),
                static_cast<long>(::syscall(SYS_gettid)));
  std::string line = stamp;
  // One entry, one line: line breaks inside an entry would forge further entries.
  for (const char character : entry)
    line.push_back(character == '\n' || character == '\r' ? ' ' : character);
  line.push_back('\n');

  std::lock_guard lock(mutex_);
  if (size_ + line.size() > sizeCap_ && fd_ >= 0) {
    ::close(fd_);
    ::renameat(folderFd_, name_.c_str(), folderFd_, (name_ + ".1").c_str());
    OpenFile();
  }
  if (fd_ < 0)
    return;
  if (::write(fd_, line.data(), line.size()) > 0)
    size_ += line.size();
}

void TraceLog::RecordFromSignalHandler(const char* line, std::size_t length) {
  if (fd_ >= 0) {
    [[maybe_unused]] const ssize_t written = ::write(fd_, line, length);
  }
}

}  // namespace tarvel
