#pragma once

#include <functional>
#include <mutex>

namespace tarvel {

// Lets engine threads (an IMAP IDLE ending) start a check of the cycle without knowing it.
// The program connects the relay once the cycle exists and disconnects it before the cycle
// goes away; after Disconnect returns, no call into the old target is in flight.
class CheckInRelay {
 public:
  void Connect(std::function<void()> target) {
    const std::lock_guard<std::mutex> guard(lock_);
    target_ = std::move(target);
  }
  void Disconnect() {
    const std::lock_guard<std::mutex> guard(lock_);
    target_ = nullptr;
  }
  // Calls the target when one is connected; callable from any thread.
  void CheckIn() {
    const std::lock_guard<std::mutex> guard(lock_);
    if (target_)
      target_();
  }

 private:
  std::mutex lock_;
  std::function<void()> target_;
};

}  // namespace tarvel
