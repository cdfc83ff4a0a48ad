#include "platform/worker_thread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>

namespace tarvel {
namespace {

thread_local std::stop_token currentStopToken;

}  // namespace

std::stop_token WorkerThread::CurrentStopToken() {
  return currentStopToken;
}

void WorkerThread::requestStop() {
  stopRequested_.store(true);
  std::stop_source source;
  {
    std::lock_guard lock(mutex_);
    source = stopSource_;
  }
  // Outside the lock: a callback may take its time (cancelling a command).
  source.request_stop();
}

WorkerThread::~WorkerThread() {
  waitFinished(0);
  if (thread_.joinable())
    thread_.join();
}

bool WorkerThread::start(Routine routine) {
  std::lock_guard lock(mutex_);
  if (running_)
    return false;
  // The previous thread released the lock for the last time before we took it, so joining
  // it under the lock cannot wait for long.
  if (thread_.joinable())
    thread_.join();
  running_ = true;
  stopRequested_.store(false);
  stopSource_ = std::stop_source();
  thread_ = std::thread([this, routine = std::move(routine), token = stopSource_.get_token()]() {
    nativeThreadId_.store(::syscall(SYS_gettid));
    currentStopToken = token;
    const uint32_t code = routine();
    currentStopToken = std::stop_token();
    nativeThreadId_.store(0);
    std::lock_guard done(mutex_);
    exitCode_ = code;
    running_ = false;
    finished_.notify_all();
  });
  threadId_ = thread_.get_id();
  return true;
}

bool WorkerThread::isFinished(uint32_t* exitCode) const {
  std::lock_guard lock(mutex_);
  if (running_)
    return false;
  if (exitCode)
    *exitCode = exitCode_;
  return true;
}

bool WorkerThread::waitFinished(uint32_t milliseconds) {
  std::unique_lock lock(mutex_);
  if (milliseconds == 0) {
    finished_.wait(lock, [this] { return !running_; });
    return true;
  }
  return finished_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                            [this] { return !running_; });
}

std::optional<std::thread::id> WorkerThread::threadId() const {
  std::lock_guard lock(mutex_);
  if (!running_)
    return std::nullopt;
  return threadId_;
}

}  // namespace tarvel
