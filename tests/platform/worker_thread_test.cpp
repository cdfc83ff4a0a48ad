#include "platform/worker_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace tarvel {
namespace {

TEST(WorkerThread, RunsOneRoutineAtATimeAndHandsOutItsExitCode) {
  WorkerThread worker;
  EXPECT_TRUE(worker.isFinished());
  EXPECT_TRUE(worker.waitFinished(1));
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  ASSERT_TRUE(worker.start([released] {
    released.wait();
    return 7u;
  }));
  EXPECT_FALSE(worker.start([] { return 0u; }));
  EXPECT_FALSE(worker.isFinished());
  EXPECT_FALSE(worker.waitFinished(10));
  release.set_value();
  EXPECT_TRUE(worker.waitFinished(0));
  uint32_t exitCode = 0;
  EXPECT_TRUE(worker.isFinished(&exitCode));
  EXPECT_EQ(exitCode, 7u);

  worker.requestStop();
  EXPECT_TRUE(worker.stopRequested());
  std::atomic<bool> sawStop = true;
  ASSERT_TRUE(worker.start([&worker, &sawStop] {
    sawStop = worker.stopRequested();
    return 1u;
  }));
  worker.waitFinished(0);
  EXPECT_FALSE(sawStop);  // a new start clears the stop request
}

TEST(WorkerThread, TheCompletionRunsOnceTheThreadCountsAsFinished) {
  WorkerThread worker;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> runs = 0;
  std::atomic<bool> finishedInCompletion = false;
  std::atomic<bool> restartedFromCompletion = false;
  ASSERT_TRUE(worker.start(
      [&runs] {
        ++runs;
        return 3u;
      },
      [&](uint32_t exitCode) {
        uint32_t stored = 0;
        finishedInCompletion = worker.isFinished(&stored) && stored == exitCode;
        // What the finished message's handler does: start the next routine at once.
        restartedFromCompletion = worker.start([&runs, released] {
          released.wait();
          ++runs;
          return 4u;
        });
      }));
  // The second routine runs while the first thread may still be in its completion: the
  // wait covers both.
  EXPECT_FALSE(worker.waitFinished(10));
  release.set_value();
  EXPECT_TRUE(worker.waitFinished(0));
  EXPECT_TRUE(finishedInCompletion);
  EXPECT_TRUE(restartedFromCompletion);
  EXPECT_EQ(runs, 2);
  uint32_t exitCode = 0;
  EXPECT_TRUE(worker.isFinished(&exitCode));
  EXPECT_EQ(exitCode, 4u);
}

}  // namespace
}  // namespace tarvel
