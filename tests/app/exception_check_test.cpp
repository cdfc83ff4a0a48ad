#include "app/exception_check.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "maintenance/trace_log.h"
#include "platform/owned_threads.h"
#include "platform/worker_thread.h"

namespace tarvel {
namespace {

std::string TracePath(const char* name) {
  return (std::filesystem::temp_directory_path() /
          (std::string(name) + "-" + std::to_string(::getpid()) + ".log"))
      .string();
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

// Raises a fatal signal on the calling thread as a fault would.
void Fault() {
  std::raise(SIGSEGV);
}

TEST(ExceptionCheckDeathTest, ForeignThreadIsParkedAndTheProgramGoesOn) {
  const std::string path = TracePath("foreign");
  std::filesystem::remove(path);
  EXPECT_EXIT(
      {
        TraceLog trace(path);
        WorkerThread checkThread;
        InstallExceptionCheck(trace, checkThread);
        std::thread foreign(Fault);
        foreign.detach();
        // The parked thread never returns; the main thread carries on.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  const std::string trace = ReadFile(path);
  EXPECT_NE(trace.find("Exception Check 0x"), std::string::npos) << trace;
  EXPECT_NE(trace.find(", CheckThread: 0."), std::string::npos) << trace;
  std::filesystem::remove(path);
}

TEST(ExceptionCheckDeathTest, FaultOnTheMainThreadEndsTheProgramAsBefore) {
  const std::string path = TracePath("main");
  std::filesystem::remove(path);
  EXPECT_EXIT(
      {
        TraceLog trace(path);
        WorkerThread checkThread;
        InstallExceptionCheck(trace, checkThread);
        Fault();
        std::_Exit(0);
      },
      ::testing::KilledBySignal(SIGSEGV), "");
  EXPECT_NE(ReadFile(path).find("Exception Check"), std::string::npos);
  std::filesystem::remove(path);
}

// A fault on a thread the program started itself ends the program: parked, an IMAP IDLE
// thread would never let its account stop it.
TEST(ExceptionCheckDeathTest, ThreadsOfTheProgramAreNeverParked) {
  struct Case {
    const char* name;
    void (*run)(WorkerThread& checkThread);
  };
  const Case cases[] = {
      {"an owned thread such as IDLE",
       [](WorkerThread&) {
         std::thread idle([] {
           const OwnedThreadScope owned;
           Fault();
         });
         idle.join();
       }},
      {"the check thread",
       [](WorkerThread& checkThread) {
         checkThread.start([] {
           Fault();
           return 0u;
         });
         checkThread.waitFinished(0);
       }},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    const std::string path = TracePath("owned");
    std::filesystem::remove(path);
    EXPECT_EXIT(
        {
          TraceLog trace(path);
          WorkerThread checkThread;
          InstallExceptionCheck(trace, checkThread);
          row.run(checkThread);
          std::_Exit(0);
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    EXPECT_NE(ReadFile(path).find("Exception Check"), std::string::npos);
    std::filesystem::remove(path);
  }
}

// Whatever waits for a parked thread at exit (a library's teardown joining its threads) must
// not keep the program from ending.
TEST(ExceptionCheckDeathTest, AParkedThreadDoesNotHoldUpTheExit) {
  const std::string path = TracePath("parked-exit");
  std::filesystem::remove(path);
  EXPECT_EXIT(
      {
        TraceLog trace(path);
        WorkerThread checkThread;
        InstallExceptionCheck(trace, checkThread);
        EndIfAThreadIsParked(9);  // nothing parked yet: carries on
        static std::thread foreign;
        foreign = std::thread(Fault);
        // As a library would: its teardown at exit joins its thread.
        std::atexit([] { foreign.join(); });
        while (!AThreadIsParked())
          std::this_thread::yield();
        EndIfAThreadIsParked(3);
        std::exit(0);  // would wait for the parked thread for ever
      },
      ::testing::ExitedWithCode(3), "");
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace tarvel
