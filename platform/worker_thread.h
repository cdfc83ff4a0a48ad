#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace tarvel {

// A thread object that runs one routine at a time and can be asked whether it has finished,
// waited for with a time limit, and asked to stop. The routine itself checks stopRequested.
class WorkerThread {
 public:
  using Routine = std::function<uint32_t()>;
  // Runs on the thread after the routine, once the thread counts as finished, so what it
  // triggers (the finished message of a check, say) may start the next routine at once.
  using Completion = std::function<void(uint32_t exitCode)>;

  WorkerThread() = default;
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Refuses (returns false) while a routine runs; otherwise clears the stop request and
  // starts a new thread that runs the routine and then the completion. Never waits for the
  // completion of an earlier routine.
  bool start(Routine routine, Completion completion = {});

  // True when no routine runs; hands out the last exit code when one was stored.
  bool isFinished(uint32_t* exitCode = nullptr) const;

  // Waits until the routine and its completion have finished; 0 means without a limit.
  // Returns true when nothing runs (at once when nothing was started).
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
  // Joins the threads that have left their last lock; under the lock.
  void JoinEndedThreads();

  mutable std::mutex mutex_;
  std::condition_variable finished_;
  bool running_ = false;
  uint32_t exitCode_ = 0;
  int completionsRunning_ = 0;
  std::atomic<bool> stopRequested_{false};
  std::atomic<long> nativeThreadId_{0};
  // A thread whose routine has finished may still run its completion while the next one
  // starts; every thread is joined once it has ended.
  std::vector<std::thread> threads_;
  std::vector<std::thread::id> endedThreads_;
  std::thread::id threadId_;
};

}  // namespace tarvel
