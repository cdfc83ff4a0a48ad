#include "app/exception_check.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "maintenance/trace_log.h"
#include "platform/owned_threads.h"
#include "platform/worker_thread.h"

namespace tarvel {

namespace {

constexpr std::array<int, 5> kFatalSignals = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

std::atomic<bool> installed{false};
std::atomic<bool> handledOnce{false};
std::atomic<bool> threadParked{false};
TraceLog* traceLog = nullptr;
const WorkerThread* checkThread = nullptr;
long mainThreadId = 0;
struct sigaction previousActions[std::size(kFatalSignals)];

long CurrentThreadId() {
  return ::syscall(SYS_gettid);
}

// Formatting with nothing a signal handler may not call.
class LineWriter {
 public:
  void Append(const char* text) {
    while (*text && length_ < sizeof(buffer_))
      buffer_[length_++] = *text++;
  }
  void AppendNumber(uint64_t value, unsigned base) {
    char digits[24];
    std::size_t count = 0;
    do {
      digits[count++] = "0123456789ABCDEF"[value % base];
      value /= base;
    } while (value != 0 && count < sizeof(digits));
    while (count > 0 && length_ < sizeof(buffer_))
      buffer_[length_++] = digits[--count];
  }
  const char* data() const { return buffer_; }
  std::size_t length() const { return length_; }

 private:
  char buffer_[192];
  std::size_t length_ = 0;
};

void PassOn(int signalNumber, siginfo_t* info, void* context) {
  for (std::size_t i = 0; i < kFatalSignals.size(); ++i) {
    if (kFatalSignals[i] != signalNumber)
      continue;
    const struct sigaction& previous = previousActions[i];
    if ((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction) {
      previous.sa_sigaction(signalNumber, info, context);
      return;
    }
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN &&
        previous.sa_handler != nullptr) {
      previous.sa_handler(signalNumber);
      return;
    }
  }
  // The default action: returning re-runs the faulting instruction, which now ends the
  // process as it would have without us; a raised signal is raised again.
  signal(signalNumber, SIG_DFL);
  if (info == nullptr || info->si_code <= 0)
    raise(signalNumber);
}

void OnFatalSignal(int signalNumber, siginfo_t* info, void* context) {
  if (handledOnce.exchange(true)) {
    PassOn(signalNumber, info, context);
    return;
  }
  const long current = CurrentThreadId();
  const long check = checkThread ? checkThread->nativeThreadId() : 0;
  LineWriter line;
  line.Append("Exception Check 0x");
  line.AppendNumber(reinterpret_cast<uintptr_t>(info ? info->si_addr : nullptr), 16);
  line.Append(". Current thread: ");
  line.AppendNumber(static_cast<uint64_t>(current), 10);
  line.Append(", Main thread: ");
  line.AppendNumber(static_cast<uint64_t>(mainThreadId), 10);
  line.Append(", CheckThread: ");
  line.AppendNumber(static_cast<uint64_t>(check), 10);
  line.Append(".\n");
  if (traceLog)
    traceLog->RecordFromSignalHandler(line.data(), line.length());

  if (current != mainThreadId && current != check && !IsOwnedThread(current)) {
    // A thread a library started: park it for good, the program goes on. Nothing of ours
    // waits for it; the end of the program does not either (EndIfAThreadIsParked).
    threadParked.store(true);
    sigset_t nothing;
    sigemptyset(&nothing);
    for (;;)
      sigsuspend(&nothing);
  }
  PassOn(signalNumber, info, context);
}

}  // namespace

bool AThreadIsParked() {
  return threadParked.load();
}

void EndIfAThreadIsParked(int exitCode) {
  if (threadParked.load())
    std::_Exit(exitCode);
}

void InstallExceptionCheck(TraceLog& trace, const WorkerThread& thread) {
  if (installed.exchange(true))
    return;
  traceLog = &trace;
  checkThread = &thread;
  mainThreadId = CurrentThreadId();
  for (std::size_t i = 0; i < kFatalSignals.size(); ++i) {
    struct sigaction action {};
    action.sa_sigaction = OnFatalSignal;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(kFatalSignals[i], &action, &previousActions[i]);
  }
}

}  // namespace tarvel
