#include "tests/support/recording_notifier.h"

#include <utility>

#include "accounts/mail_engine.h"

namespace tarvel::testing {

void RecordingNotifier::add(std::string event) {
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(event));
}

void RecordingNotifier::AddPopupRow(const MailEngine& engine, const MailItem& item,
                                    uint32_t position) {
  add("row " + Text(engine.type().displayName).ToUtf8() + " " + std::to_string(position) + " " +
      item.subject.ToUtf8());
}

void RecordingNotifier::AssemblePopup() {
  add("popup");
}

void RecordingNotifier::UpdateTray(uint32_t totalCount, const Text& allMailText,
                                   CheckStatus status) {
  add("tray " + std::to_string(totalCount) + " " + std::to_string(static_cast<uint32_t>(status)) +
      " " + allMailText.ToUtf8());
}

void RecordingNotifier::ShowNewMailNotice(const Text& newMailText, uint32_t newCount,
                                          CheckStatus status) {
  add("notice " + std::to_string(newCount) + " " + std::to_string(static_cast<uint32_t>(status)) +
      " " + newMailText.ToUtf8());
}

void RecordingNotifier::RefreshReader(MailEngine& outlookEngine) {
  add("refresh " + std::to_string(outlookEngine.typeBit));
}

void RecordingNotifier::PlayNewMailSound(uint32_t firstNewTypeBit) {
  add("sound " + std::to_string(firstNewTypeBit));
}

void RecordingNotifier::GiveLogitechFeedback() {
  add("logitech");
}

std::vector<std::string> RecordingNotifier::takeEvents() {
  std::lock_guard lock(mutex_);
  return std::exchange(events_, {});
}

std::vector<std::string> RecordingNotifier::eventsStartingWith(const std::string& prefix) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> matching;
  for (const std::string& event : events_) {
    if (event.rfind(prefix, 0) == 0)
      matching.push_back(event);
  }
  return matching;
}

void RecordingTrace::Record(std::string_view entry) {
  std::lock_guard lock(mutex_);
  entries_.emplace_back(entry);
}

std::vector<std::string> RecordingTrace::take() {
  std::lock_guard lock(mutex_);
  return std::exchange(entries_, {});
}

bool FakeLoginRunner::Run(uint32_t typeBit) {
  runs.push_back(typeBit);
  open_ = true;
  if (whileOpen)
    whileOpen();
  open_ = false;
  return !failRuns;
}

}  // namespace tarvel::testing
