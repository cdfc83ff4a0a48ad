#include "ui/readers/reader_sequence.h"

#include <algorithm>
#include <utility>

#include "accounts/account_type_list.h"

namespace tarvel {

ReaderSequence::ReaderSequence(Schedule schedule, Open open)
    : schedule_(std::move(schedule)), open_(std::move(open)) {}

void ReaderSequence::OpenReaders(const AccountTypeList& accounts, uint32_t typeMask) {
  for (const MailEngine* engine = accounts.first(); engine;
       engine = AccountTypeList::next(engine)) {
    if ((engine->typeBit & typeMask) == 0)
      continue;
    if (std::find(queue_.begin(), queue_.end(), engine->typeBit) == queue_.end())
      queue_.push_back(engine->typeBit);
  }
  if (!pauseRunning_)
    OpenNext();
}

void ReaderSequence::OpenNext() {
  pauseRunning_ = false;
  if (queue_.empty())
    return;
  const uint32_t typeBit = queue_.front();
  queue_.pop_front();
  open_(typeBit);
  if (queue_.empty())
    return;
  pauseRunning_ = true;
  schedule_(kReaderPauseMs, [this] { OpenNext(); });
}

}  // namespace tarvel
