#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/check_notifier.h"
#include "app/login_runner.h"
#include "maintenance/diagnostic_trace.h"

namespace tarvel::testing {

// Records every notification step of a check as one line of text, in order.
class RecordingNotifier : public CheckNotifier {
 public:
  void AddPopupRow(const MailEngine& engine, const MailItem& item, uint32_t position) override;
  void AssemblePopup() override;
  void UpdateTray(uint32_t totalCount, const Text& allMailText, CheckStatus status) override;
  void ShowNewMailNotice(const Text& newMailText, uint32_t newCount, CheckStatus status) override;
  void RefreshReader(MailEngine& outlookEngine) override;
  void PlayNewMailSound(uint32_t firstNewTypeBit) override;
  void GiveLogitechFeedback() override;

  std::vector<std::string> takeEvents();
  // Events whose text starts with `prefix`.
  std::vector<std::string> eventsStartingWith(const std::string& prefix) const;

 private:
  void add(std::string event);
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

// Records the trace entries.
class RecordingTrace : public DiagnosticTrace {
 public:
  void Record(std::string_view entry) override;
  std::vector<std::string> take();

 private:
  std::mutex mutex_;
  std::vector<std::string> entries_;
};

// A login window that records its runs; a test may hook what happens while it is open.
class FakeLoginRunner : public LoginRunner {
 public:
  bool IsOpen() const override { return open_; }
  void BringToFront() override { ++broughtToFront; }
  bool Run(uint32_t typeBit) override;
  bool CanSignIn(uint32_t typeBit) const override { return (cannotSignIn & typeBit) == 0; }

  std::vector<uint32_t> runs;
  int broughtToFront = 0;
  bool failRuns = false;
  // Types no sign-in can be offered for (no browser).
  uint32_t cannotSignIn = 0;
  // Called while the window is open, as a nested event loop would run other messages.
  std::function<void()> whileOpen;

 private:
  bool open_ = false;
};

}  // namespace tarvel::testing
