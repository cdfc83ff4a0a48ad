#include "app/exception_check.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "maintenance/trace_log.h"
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

}  // namespace
}  // namespace tarvel
