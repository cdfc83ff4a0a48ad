#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "accounts/account_type_list.h"
#include "accounts/mail_engine.h"

namespace tarvel::testing {

// One mail as a script gives it: sender, subject, folder, date (UTF-8).
struct ScriptedMail {
  std::string sender;
  std::string subject;
  std::string folder;
  std::string date;
  std::string markKey{};  // empty: the mail cannot be marked as read
};

// What one check of a scripted engine does.
struct ScriptedCheck {
  ScriptedCheck() = default;
  ScriptedCheck(CheckStatus checkStatus, std::vector<ScriptedMail> checkMails = {})  // NOLINT
      : status(checkStatus), mails(std::move(checkMails)) {}

  CheckStatus status = CheckStatus::Success;
  std::vector<ScriptedMail> mails;
  int ready = 1;
  MailOrder order = MailOrder::SortedByDate;
  FailureKind failureKind = FailureKind::Transient;
};

// An engine whose checks follow a script; with the script used up, every check repeats the
// last step. Counts its checks.
class ScriptedEngine : public MailEngine {
 public:
  using MailEngine::MailEngine;

  void queue(ScriptedCheck check) { script_.push_back(std::move(check)); }
  int ReadyToCheck() override;
  CheckStatus Check() override;
  Text GetDisplayName() const override { return Text(type().displayName); }
  // Records the keys it marks; the key `refusedMarkKey` fails.
  bool MarkRead(const std::string& markKey, Text& failure) override;
  std::vector<std::string> marked();
  std::string refusedMarkKey;  // set before any marking

  // Makes every check wait until the test allows it, so a test can look at a running check.
  void useGate() { gated_ = true; }
  void allowCheck();

  std::atomic<int> checks = 0;  // checks that passed the gate
  // Runs inside Check, before it returns (to act while a check runs).
  std::function<void()> duringCheck;

 private:
  const ScriptedCheck& current() const;
  bool gated_ = false;
  std::mutex gateMutex_;
  std::condition_variable gateOpened_;
  int permits_ = 0;
  std::deque<ScriptedCheck> script_;
  std::mutex markMutex_;
  std::vector<std::string> markedKeys_;  // guarded by markMutex_
  ScriptedCheck lastStep_;
};

// A factory that makes every account type a ScriptedEngine.
EngineFactory ScriptedEngineFactory();

ScriptedEngine& Scripted(AccountTypeList& accounts, uint32_t typeBit);

}  // namespace tarvel::testing
