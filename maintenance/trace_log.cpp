#include "maintenance/trace_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

namespace tarvel {

TraceLog::TraceLog(std::string path, uint64_t sizeCap) : path_(std::move(path)), sizeCap_(sizeCap) {
  std::lock_guard lock(mutex_);
  OpenFile();
}

TraceLog::~TraceLog() {
  if (fd_ >= 0)
    ::close(fd_);
}

std::string TraceLog::DefaultPath() {
  std::string base;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/') {
    base = state;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = std::string(home) + "/.local/state";
  } else {
    base = "/tmp";
  }
  return base + "/Quorline/Tarvel/trace.log";
}

void TraceLog::OpenFile() {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ignored);
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  struct stat info {};
  size_ = (fd_ >= 0 && ::fstat(fd_, &info) == 0) ? static_cast<uint64_t>(info.st_size) : 0;
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
    std::error_code ignored;
    std::filesystem::rename(path_, path_ + ".1", ignored);
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
