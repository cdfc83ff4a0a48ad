#include "app/manual_main_window.h"

#include <algorithm>

namespace tarvel {

ManualMainWindow::ManualMainWindow(MainWindowHandler* handler)
    : handler_(handler), mainThread_(std::this_thread::get_id()) {}

void ManualMainWindow::PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  std::lock_guard lock(mutex_);
  queue_.push_back({message, wParam, lParam});
  queued_.notify_all();
}

intptr_t ManualMainWindow::SendMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (std::this_thread::get_id() == mainThread_)
    return Deliver(message, wParam, lParam);
  intptr_t result = 0;
  bool done = false;
  std::unique_lock lock(mutex_);
  queue_.push_back({message, wParam, lParam, &result, &done});
  queued_.notify_all();
  delivered_.wait(lock, [&done] { return done; });
  return result;
}

void ManualMainWindow::SetTimer(uint32_t timerId, uint32_t milliseconds) {
  std::lock_guard lock(mutex_);
  timers_[timerId] = {milliseconds, now_ + milliseconds};
}

void ManualMainWindow::KillTimer(uint32_t timerId) {
  std::lock_guard lock(mutex_);
  timers_.erase(timerId);
}

intptr_t ManualMainWindow::Deliver(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  return handler_ ? handler_->OnMessage(message, wParam, lParam) : 0;
}

std::size_t ManualMainWindow::DispatchPending() {
  std::deque<QueuedMessage> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(queue_);
  }
  for (const QueuedMessage& next : batch) {
    const intptr_t result = Deliver(next.message, next.wParam, next.lParam);
    if (next.done) {
      std::lock_guard lock(mutex_);
      *next.result = result;
      *next.done = true;
      delivered_.notify_all();
    }
  }
  return batch.size();
}

bool ManualMainWindow::WaitForMessage(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return queued_.wait_for(lock, timeout, [this] { return !queue_.empty(); });
}

void ManualMainWindow::AdvanceBy(uint64_t milliseconds) {
  uint64_t target = 0;
  {
    std::lock_guard lock(mutex_);
    target = now_ + milliseconds;
  }
  for (;;) {
    uint32_t firing = 0;
    {
      std::lock_guard lock(mutex_);
      auto earliest = timers_.end();
      for (auto timer = timers_.begin(); timer != timers_.end(); ++timer) {
        if (timer->second.due <= target &&
            (earliest == timers_.end() || timer->second.due < earliest->second.due)) {
          earliest = timer;
        }
      }
      if (earliest == timers_.end()) {
        now_ = target;
        break;
      }
      now_ = earliest->second.due;
      // A zero interval fires again a moment later, not in the same instant for ever.
      earliest->second.due = now_ + std::max<uint32_t>(earliest->second.interval, 1);
      firing = earliest->first;
    }
    if (handler_)
      handler_->OnTimer(firing);
    DispatchPending();
  }
}

uint64_t ManualMainWindow::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

std::optional<uint32_t> ManualMainWindow::timerInterval(uint32_t timerId) const {
  std::lock_guard lock(mutex_);
  const auto timer = timers_.find(timerId);
  if (timer == timers_.end())
    return std::nullopt;
  return timer->second.interval;
}

}  // namespace tarvel
