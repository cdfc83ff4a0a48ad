#pragma once

#include <cstdint>
#include <deque>
#include <functional>

namespace tarvel {

class AccountTypeList;

// The pause between two readers opened together, so each gets its window before the next.
inline constexpr uint32_t kReaderPauseMs = 1000;

// Opens the readers of several account types one after the other, a pause apart. The pause
// is handed to a scheduler rather than slept, so the event loop (and the tray menu) keeps
// running while the next reader waits.
class ReaderSequence {
 public:
  // Runs `then` after `milliseconds` on the same thread.
  using Schedule = std::function<void(uint32_t milliseconds, std::function<void()> then)>;
  // Opens the reader of one account type.
  using Open = std::function<void(uint32_t typeBit)>;

  ReaderSequence(Schedule schedule, Open open);

  // Opens the readers of the types in `typeMask`, in the list order of `accounts`: the
  // first now, each further one a pause after the one before. Types asked for while others
  // still wait join the end of the queue (a type already waiting is not queued twice);
  // with nothing waiting, the first reader opens at once.
  void OpenReaders(const AccountTypeList& accounts, uint32_t typeMask);

  bool waiting() const { return pauseRunning_; }

 private:
  void OpenNext();

  Schedule schedule_;
  Open open_;
  std::deque<uint32_t> queue_;
  bool pauseRunning_ = false;
};

}  // namespace tarvel
