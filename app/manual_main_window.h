#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "app/main_window_port.h"

namespace tarvel {

// A main window driven by hand: posted messages wait in a queue until the owner dispatches
// them, and timers run on a virtual clock that only moves when the owner advances it. Tests
// use it to run the check cycle deterministically; the command-line program uses it to wait
// for a check without an event loop.
//
// The thread that creates it is the main thread: SendMessage from there calls the handler
// at once, from any other thread it queues the message and waits for the main thread to
// dispatch it.
class ManualMainWindow : public MainWindowPort {
 public:
  explicit ManualMainWindow(MainWindowHandler* handler = nullptr);

  void setHandler(MainWindowHandler* handler) { handler_ = handler; }

  void PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override;
  intptr_t SendMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override;
  void SetTimer(uint32_t timerId, uint32_t milliseconds) override;
  void KillTimer(uint32_t timerId) override;

  // Dispatches the messages queued at the time of the call (those posted meanwhile wait for
  // the next call, so a test decides how far a running check may get). Returns how many
  // were dispatched.
  std::size_t DispatchPending();
  // Waits in real time until a message is queued; false when the time ran out.
  bool WaitForMessage(std::chrono::milliseconds timeout);
  // Moves the virtual clock forward, firing each due timer at its due time (repeating timers
  // fire again after their interval) and dispatching queued messages after each firing.
  void AdvanceBy(uint64_t milliseconds);

  uint64_t now() const;
  // The interval of a running timer.
  std::optional<uint32_t> timerInterval(uint32_t timerId) const;

 private:
  struct Timer {
    uint32_t interval;
    uint64_t due;
  };
  struct QueuedMessage {
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
    // Set for a sent message: where the result goes and the flag the sender waits on.
    intptr_t* result = nullptr;
    bool* done = nullptr;
  };

  intptr_t Deliver(uint32_t message, uintptr_t wParam, intptr_t lParam);

  MainWindowHandler* handler_;
  const std::thread::id mainThread_;
  mutable std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable delivered_;
  std::deque<QueuedMessage> queue_;
  std::map<uint32_t, Timer> timers_;
  uint64_t now_ = 0;
};

}  // namespace tarvel
