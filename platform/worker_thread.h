#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
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

  // Also runs the stop callbacks registered on the routine's stop token, at once, on the
  // calling thread: that is how a blocking wait inside the routine learns of the request.
  void requestStop();
  bool stopRequested() const { return stopRequested_.load(); }

  // The stop token of the routine that runs on the calling thread; a token that can never be
  // stopped on any other thread. Code deep inside a routine (a transfer, an IMAP command)
  // registers a std::stop_callback on it to end its waits when a stop is requested.
  static std::stop_token CurrentStopToken();

  std::optional<std::thread::id> threadId() const;
  // The kernel's id of the running thread, 0 when none runs; safe to read in a signal handler.
  long nativeThreadId() const { return nativeThreadId_.load(); }

 private:
  mutable std::mutex mutex_;
  std::condition_variable finished_;
  bool running_ = false;
  uint32_t exitCode_ = 0;
  std::atomic<bool> stopRequested_{false};
  std::stop_source stopSource_;  // guarded by mutex_; one per started routine
  std::atomic<long> nativeThreadId_{0};
  std::thread thread_;
  std::thread::id threadId_;
};

}  // namespace tarvel
