#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace tarvel {

// A thread object that runs one routine at a time and can be asked whether it has finished,
// waited for with a time limit, and asked to stop. The routine itself checks stopRequested.
class WorkerThread {
 public:
  using Routine = std::function<uint32_t()>;

  WorkerThread() = default;
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Refuses (returns false) while a routine runs; otherwise clears the stop request and
  // starts a new thread that runs the routine.
  bool start(Routine routine);

  // True when no routine runs; hands out the last exit code when one was stored.
  bool isFinished(uint32_t* exitCode = nullptr) const;

  // Waits until the routine has finished; 0 means without a limit. Returns true when the
  // thread is not running (at once when none was started).
  bool waitFinished(uint32_t milliseconds);

  void requestStop() { stopRequested_.store(true); }
  bool stopRequested() const { return stopRequested_.load(); }
  // The stop request itself, for code the routine runs that watches it while it waits (the
  // HTTP client); it lives as long as the object.
  const std::atomic<bool>& stopSignal() const { return stopRequested_; }

  std::optional<std::thread::id> threadId() const;
  // The kernel's id of the running thread, 0 when none runs; safe to read in a signal handler.
  long nativeThreadId() const { return nativeThreadId_.load(); }

 private:
  mutable std::mutex mutex_;
  std::condition_variable finished_;
  bool running_ = false;
  uint32_t exitCode_ = 0;
  std::atomic<bool> stopRequested_{false};
  std::atomic<long> nativeThreadId_{0};
  std::thread thread_;
  std::thread::id threadId_;
};

}  // namespace tarvel
