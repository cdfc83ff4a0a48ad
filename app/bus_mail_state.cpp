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

void BusMailState::Finish(uint32_t unreadCount, int64_t unixSeconds) {
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
}

BusMailSnapshot BusMailState::snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return published_;
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
  state_.Add(walk_.back());
}

void BusMailNotifier::UpdateTray(uint32_t totalCount, const Text&, CheckStatus) {
  walk_.clear();
  state_.Finish(totalCount, clock_.UnixSeconds());
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
