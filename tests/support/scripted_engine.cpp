#include "tests/support/scripted_engine.h"

namespace tarvel::testing {

const ScriptedCheck& ScriptedEngine::current() const {
  return script_.empty() ? lastStep_ : script_.front();
}

int ScriptedEngine::ReadyToCheck() {
  const int ready = current().ready;
  // A step that skips the check is used up here, since Check will not run for it.
  if (ready != 1 && !script_.empty())
    script_.pop_front();
  return ready;
}

void ScriptedEngine::allowCheck() {
  std::lock_guard lock(gateMutex_);
  ++permits_;
  gateOpened_.notify_all();
}

CheckStatus ScriptedEngine::Check() {
  if (gated_) {
    std::unique_lock lock(gateMutex_);
    gateOpened_.wait(lock, [this] { return permits_ > 0; });
    --permits_;
  }
  ++checks;
  if (!script_.empty()) {
    lastStep_ = script_.front();
    script_.pop_front();
  }
  for (const ScriptedMail& mail : lastStep_.mails) {
    auto item =
        std::make_unique<MailItem>(Text::FromUtf8(mail.sender), Text::FromUtf8(mail.subject),
                                   Text::FromUtf8(mail.folder), Text::FromUtf8(mail.date));
    item->markKey = mail.markKey;
    AddMail(std::move(item), lastStep_.order);
  }
  if (duringCheck)
    duringCheck();
  lastFailureKind = lastStep_.failureKind;
  return lastStep_.status;
}

EngineFactory ScriptedEngineFactory() {
  return [](const AccountTypeInfo& type) { return std::make_unique<ScriptedEngine>(type); };
}

ScriptedEngine& Scripted(AccountTypeList& accounts, uint32_t typeBit) {
  return static_cast<ScriptedEngine&>(*accounts.findByTypeBit(typeBit));
}

bool ScriptedEngine::MarkRead(const std::string& markKey, Text& failure) {
  const std::lock_guard<std::mutex> lock(markMutex_);
  if (markKey == refusedMarkKey) {
    failure = u"the server refused it";
    return false;
  }
  markedKeys_.push_back(markKey);
  return true;
}

std::vector<std::string> ScriptedEngine::marked() {
  const std::lock_guard<std::mutex> lock(markMutex_);
  return markedKeys_;
}

}  // namespace tarvel::testing
