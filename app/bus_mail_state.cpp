#include "app/bus_mail_state.h"

#include <algorithm>
#include <cstdio>

#include "accounts/mail_engine.h"
#include "app/check_cycle.h"
#include "mail/mail_item.h"
#include "platform/clock.h"

namespace tarvel {

namespace {

// 64-bit FNV-1a over the parts, each followed by a separator byte.
class IdHash {
 public:
  void Add(std::string_view part) {
    for (const char c : part)
      Byte(static_cast<unsigned char>(c));
    Byte(0xFF);
  }
  uint64_t value() const { return hash_; }

 private:
  void Byte(unsigned char byte) {
    hash_ ^= byte;
    hash_ *= 0x100000001B3ULL;
  }
  uint64_t hash_ = 0xCBF29CE484222325ULL;
};

}  // namespace

void BusMailState::Add(const BusMailRecord& record) {
  pending_.push_back(record);
}

void BusMailState::Finish(uint32_t unreadCount, int64_t unixSeconds, CheckStatus status) {
  std::vector<BusMailRecord> records;
  records.swap(pending_);
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<BusMailRecord> fresh;
  for (const BusMailRecord& record : records) {
    const bool known = std::any_of(published_.records.begin(), published_.records.end(),
                                   [&](const BusMailRecord& old) { return old.id == record.id; });
    if (!known)
      fresh.push_back(record);
  }
  published_.records = std::move(records);
  published_.newRecords = std::move(fresh);
  published_.unreadCount = unreadCount;
  published_.lastCheck = unixSeconds;
  published_.lastStatus = static_cast<uint32_t>(status);
  ++published_.checks;
}

BusMailSnapshot BusMailState::snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return published_;
}

uint32_t BusMailState::Remove(const std::vector<std::string>& ids) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint32_t removed = 0;
  const auto marked = [&](const BusMailRecord& record) {
    return std::find(ids.begin(), ids.end(), record.id) != ids.end();
  };
  const auto before = published_.records.size();
  published_.records.erase(
      std::remove_if(published_.records.begin(), published_.records.end(), marked),
      published_.records.end());
  removed = static_cast<uint32_t>(before - published_.records.size());
  published_.newRecords.erase(
      std::remove_if(published_.newRecords.begin(), published_.newRecords.end(), marked),
      published_.newRecords.end());
  published_.unreadCount = published_.unreadCount > removed ? published_.unreadCount - removed : 0;
  return removed;
}

std::vector<std::string> BusMailState::MarkableNewIds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> ids;
  for (const BusMailRecord& record : published_.newRecords) {
    if (record.markKey.empty())
      return {};
    ids.push_back(record.id);
  }
  return ids;
}

MailMarker::MailMarker(BusMailState& state, EngineOf engineOf)
    : state_(state), engineOf_(std::move(engineOf)), thread_([this] { Run(); }) {}

MailMarker::~MailMarker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void MailMarker::Mark(std::vector<std::string> ids, Done done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.emplace_back(std::move(ids), std::move(done));
  }
  wake_.notify_all();
}

void MailMarker::Run() {
  for (;;) {
    std::pair<std::vector<std::string>, Done> request;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      // Requests still queued at exit are dropped: nobody is left to hear of them.
      if (stopping_)
        return;
      request = std::move(queue_.front());
      queue_.pop_front();
    }
    const Outcome outcome = MarkNow(request.first);
    if (request.second)
      request.second(outcome);
  }
}

MailMarker::Outcome MailMarker::MarkNow(const std::vector<std::string>& ids) {
  Outcome outcome;
  const BusMailSnapshot snapshot = state_.snapshot();
  for (const std::string& id : ids) {
    const auto record =
        std::find_if(snapshot.records.begin(), snapshot.records.end(),
                     [&](const BusMailRecord& candidate) { return candidate.id == id; });
    std::string failure;
    if (record == snapshot.records.end()) {
      failure = "the mail is no longer listed";
    } else if (MailEngine* engine = engineOf_ ? engineOf_(record->typeBit) : nullptr;
               engine == nullptr || record->markKey.empty()) {
      failure = "this account type cannot mark mail as read";
    } else {
      Text reason;
      if (engine->MarkRead(record->markKey, reason))
        outcome.marked.push_back(id);
      else
        failure = reason.isEmpty() ? std::string("the server did not mark it") : reason.ToUtf8();
    }
    // The first reason is the one told; the others are most likely the same.
    if (!failure.empty() && outcome.failure.empty())
      outcome.failure = failure;
  }
  if (!outcome.marked.empty())
    state_.Remove(outcome.marked);
  return outcome;
}

BusMailRecord MakeBusMailRecord(const Text& account, const Text& sender, const Text& subject,
                                const Text& folder, const Text& date, uint32_t typeBit,
                                const std::vector<BusMailRecord>& earlier) {
  BusMailRecord record{account.ToUtf8(), sender.ToUtf8(), subject.ToUtf8(),
                       folder.ToUtf8(),  date.ToUtf8(),   {}};
  IdHash hash;
  hash.Add(std::to_string(typeBit));
  for (const std::string* part :
       {&record.account, &record.sender, &record.subject, &record.folder, &record.date})
    hash.Add(*part);
  const uint64_t base = hash.value();
  // Equal records of one check: the second one gets the base id with ":1", and so on.
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(base));
  const std::string baseId(text);
  uint32_t twins = 0;
  for (const BusMailRecord& other : earlier) {
    if (other.id.compare(0, baseId.size(), baseId) == 0)
      ++twins;
  }
  record.id = twins == 0 ? baseId : baseId + ":" + std::to_string(twins);
  return record;
}

void BusMailNotifier::AddPopupRow(const MailEngine& engine, const MailItem& item, uint32_t) {
  const Text& account = engine.accountName.isEmpty() ? engine.name : engine.accountName;
  walk_.push_back(MakeBusMailRecord(account, item.sender, item.subject, item.folder, item.date,
                                    engine.typeBit, walk_));
  walk_.back().typeBit = engine.typeBit;
  walk_.back().markKey = item.markKey;
  state_.Add(walk_.back());
}

void BusMailNotifier::UpdateTray(uint32_t totalCount, const Text&, CheckStatus status) {
  walk_.clear();
  state_.Finish(totalCount, clock_.UnixSeconds(), status);
  if (published_)
    published_();
}

std::optional<int32_t> BusSilenceMinutes(int64_t minutes) {
  if (minutes == 0)
    return kNotificationsOn;
  if (minutes < 0 || minutes > kBusSilenceMaxMinutes)
    return std::nullopt;
  return static_cast<int32_t>(minutes);
}

}  // namespace tarvel
