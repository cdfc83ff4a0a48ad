#pragma once

namespace tarvel {

// Marks the calling thread, for the lifetime of the object, as one the program started
// itself (the check thread, an IMAP account's IDLE thread). A fatal signal on such a thread
// ends the program like one on the main thread; only threads that libraries start on their
// own are parked, since nothing of ours waits for those. Every thread the program starts
// creates one first thing.
class OwnedThreadScope {
 public:
  OwnedThreadScope();
  ~OwnedThreadScope();
  OwnedThreadScope(const OwnedThreadScope&) = delete;
  OwnedThreadScope& operator=(const OwnedThreadScope&) = delete;

 private:
  long threadId_;
};

// True when the thread with this kernel id is the program's own. Safe in a signal handler.
bool IsOwnedThread(long kernelThreadId);

}  // namespace tarvel
