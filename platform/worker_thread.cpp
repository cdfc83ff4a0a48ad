#include "platform/worker_thread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "platform/owned_threads.h"

namespace tarvel {

WorkerThread::~WorkerThread() {
  waitFinished(0);
  // Every thread has left its last lock, so the joins end at once.
  for (std::thread& thread : threads_) {
    if (thread.joinable())
      thread.join();
  }
}

void WorkerThread::JoinEndedThreads() {
  for (auto thread = threads_.begin(); thread != threads_.end();) {
    const auto ended = std::find(endedThreads_.begin(), endedThreads_.end(), thread->get_id());
    if (ended == endedThreads_.end()) {
      ++thread;
      continue;
    }
    // The thread took the lock for the last time before it noted its end.
    thread->join();
    endedThreads_.erase(ended);
    thread = threads_.erase(thread);
  }
}

bool WorkerThread::start(Routine routine, Completion completion) {
  std::lock_guard lock(mutex_);
  if (running_)
    return false;
  JoinEndedThreads();
  running_ = true;
  stopRequested_.store(false);
  threads_.emplace_back([this, routine = std::move(routine), completion = std::move(completion)]() {
    nativeThreadId_.store(::syscall(SYS_gettid));
    const uint32_t code = routine();
    nativeThreadId_.store(0);
    {
      std::lock_guard done(mutex_);
      exitCode_ = code;
      running_ = false;
      ++completionsRunning_;
    }
    if (completion)
      completion(code);
    std::lock_guard ended(mutex_);
    --completionsRunning_;
    endedThreads_.push_back(std::this_thread::get_id());
    finished_.notify_all();
  });
  threadId_ = threads_.back().get_id();
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
  const auto idle = [this] { return !running_ && completionsRunning_ == 0; };
  if (milliseconds == 0) {
    finished_.wait(lock, idle);
    return true;
  }
  return finished_.wait_for(lock, std::chrono::milliseconds(milliseconds), idle);
}

std::optional<std::thread::id> WorkerThread::threadId() const {
  std::lock_guard lock(mutex_);
  if (!running_)
    return std::nullopt;
  return threadId_;
}

}  // namespace tarvel
