#include "app/manual_main_window.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace tarvel {
namespace {

class Recorder : public MainWindowHandler {
 public:
  intptr_t OnMessage(uint32_t message, uintptr_t wParam, intptr_t) override {
    events.push_back("message " + std::to_string(message));
    return static_cast<intptr_t>(wParam * 2);
  }
  void OnTimer(uint32_t timerId) override { events.push_back("timer " + std::to_string(timerId)); }
  std::vector<std::string> events;
};

TEST(ManualMainWindow, TimersRepeatAndSettingARunningIdReplacesIt) {
  Recorder recorder;
  ManualMainWindow window(&recorder);
  window.SetTimer(1, 100);
  window.SetTimer(3, 250);
  window.AdvanceBy(99);
  EXPECT_TRUE(recorder.events.empty());
  window.AdvanceBy(201);
  EXPECT_EQ(recorder.events,
            (std::vector<std::string>{"timer 1", "timer 1", "timer 3", "timer 1"}));
  recorder.events.clear();
  window.SetTimer(1, 1000);  // replaces: counts from now
  window.KillTimer(3);
  window.AdvanceBy(999);
  EXPECT_TRUE(recorder.events.empty());
  window.AdvanceBy(1);
  EXPECT_EQ(recorder.events, std::vector<std::string>{"timer 1"});
  EXPECT_EQ(window.timerInterval(1), 1000u);
  EXPECT_EQ(window.timerInterval(3), std::nullopt);
}

TEST(ManualMainWindow, PostedMessagesWaitForDispatchAndSentOnesReturnResults) {
  Recorder recorder;
  ManualMainWindow window(&recorder);
  window.PostMessage(0x8004, 0, 0);
  EXPECT_TRUE(recorder.events.empty());
  EXPECT_EQ(window.SendMessage(0x8006, 21, 0), 42);  // on the main thread: at once

  intptr_t fromWorker = 0;
  std::thread worker([&] { fromWorker = window.SendMessage(0x8006, 5, 0); });
  std::size_t dispatched = 0;
  while (dispatched < 2) {
    window.WaitForMessage(std::chrono::milliseconds(100));
    dispatched += window.DispatchPending();
  }
  worker.join();
  EXPECT_EQ(fromWorker, 10);
  EXPECT_EQ(recorder.events,
            (std::vector<std::string>{"message 32774", "message 32772", "message 32774"}));
}

}  // namespace
}  // namespace tarvel
