#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "maintenance/diagnostic_trace.h"

namespace tarvel {

// The diagnostic trace as a log file: one line per entry with the time and the thread. When
// the file grows past its cap it is moved aside to "<name>.1" (replacing an older one) and a
// new file begins, so the trace never takes more than twice the cap.
class TraceLog : public DiagnosticTrace {
 public:
  static constexpr uint64_t kDefaultSizeCap = 1024 * 1024;

  explicit TraceLog(std::string path, uint64_t sizeCap = kDefaultSizeCap);
  ~TraceLog() override;
  TraceLog(const TraceLog&) = delete;
  TraceLog& operator=(const TraceLog&) = delete;

  void Record(std::string_view entry) override;

  // Writes a line with nothing but write(2): safe inside a signal handler.
  void RecordFromSignalHandler(const char* line, std::size_t length);

  const std::string& path() const { return path_; }

  // "$XDG_STATE_HOME/Quorline/Tarvel/trace.log" (falling back to ~/.local/state); without
  // either, "trace.log" in FallbackFolder("/tmp").
  static std::string DefaultPath();
  // "<sharedRoot>/tarvel-trace-<uid>": a folder of this user's own inside a folder that
  // everybody may write to.
  static std::string FallbackFolder(const std::string& sharedRoot);

 private:
  void OpenFile();

  const std::string path_;
  const std::string folder_;
  const std::string name_;
  // The log's folder, opened once it proved to be this user's own.
  int folderFd_ = -1;
  const uint64_t sizeCap_;
  std::mutex mutex_;
  int fd_ = -1;
  uint64_t size_ = 0;
};

}  // namespace tarvel
