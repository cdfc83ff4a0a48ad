#include "platform/owned_threads.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>

namespace tarvel {

namespace {

// Far more than the program ever runs at once (one check thread and an IDLE thread per IMAP
// account); a thread that finds no free slot counts as foreign.
std::array<std::atomic<long>, 64> ownedThreads{};

}  // namespace

OwnedThreadScope::OwnedThreadScope() : threadId_(::syscall(SYS_gettid)) {
  for (std::atomic<long>& slot : ownedThreads) {
    long empty = 0;
    if (slot.compare_exchange_strong(empty, threadId_))
      return;
  }
  threadId_ = 0;
}

OwnedThreadScope::~OwnedThreadScope() {
  if (threadId_ == 0)
    return;
  for (std::atomic<long>& slot : ownedThreads) {
    long mine = threadId_;
    if (slot.compare_exchange_strong(mine, 0))
      return;
  }
}

bool IsOwnedThread(long kernelThreadId) {
  if (kernelThreadId == 0)
    return false;
  for (const std::atomic<long>& slot : ownedThreads) {
    if (slot.load() == kernelThreadId)
      return true;
  }
  return false;
}

}  // namespace tarvel
