#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/check_notifier.h"

namespace tarvel {

class Clock;

// One unread record as the session-bus interface hands it out (UTF-8 texts).
struct BusMailRecord {
  std::string account;  // the account's own name, or its type's name when it has none
  std::string sender;
  std::string subject;
  std::string folder;
  std::string date;
  // Opaque: the same record keeps its id from check to check; two equal records of one
  // account are told apart by their order.
  std::string id;

  bool operator==(const BusMailRecord&) const = default;
};

// What the interface publishes after each check.
struct BusMailSnapshot {
  std::vector<BusMailRecord> records;     // every unread record of the last check
  std::vector<BusMailRecord> newRecords;  // the records the check before did not have
  uint32_t unreadCount = 0;
  int64_t lastCheck = 0;  // Unix seconds of the end of the last check; 0 before the first
};

// The records of the checks, for the session-bus interface. The check thread adds the records
// of the walk and ends the check; the main thread reads the published snapshot.
class BusMailState {
 public:
  // Check thread: one record of the walk.
  void Add(const BusMailRecord& record);
  // Check thread: the check ended with `unreadCount` records at `unixSeconds`; the records
  // added since the last end are published, the new ones among them marked.
  void Finish(uint32_t unreadCount, int64_t unixSeconds);
  BusMailSnapshot snapshot() const;

 private:
  std::vector<BusMailRecord> pending_;  // check thread only
  mutable std::mutex mutex_;
  BusMailSnapshot published_;
};

// The record of an engine's mail, its id made unique among the records of the check that
// came before it (`earlier`).
BusMailRecord MakeBusMailRecord(const Text& account, const Text& sender, const Text& subject,
                                const Text& folder, const Text& date, uint32_t typeBit,
                                const std::vector<BusMailRecord>& earlier);

// The interface's share of a check: every record of the walk, and the end of the check (the
// tray step, which every check reaches), after which `published` runs on the check thread.
class BusMailNotifier : public SilentNotifier {
 public:
  BusMailNotifier(BusMailState& state, const Clock& clock, std::function<void()> published)
      : state_(state), clock_(clock), published_(std::move(published)) {}

  void AddPopupRow(const MailEngine& engine, const MailItem& item, uint32_t position) override;
  void UpdateTray(uint32_t totalCount, const Text& allMailText, CheckStatus status) override;

 private:
  BusMailState& state_;
  const Clock& clock_;
  std::function<void()> published_;
  std::vector<BusMailRecord> walk_;  // check thread: the records of the running check
};

// The longest silence the interface accepts: a week.
inline constexpr int64_t kBusSilenceMaxMinutes = 7 * 24 * 60;

// `Silence(minutes)` over the bus: 0 turns the notifications on again, 1 to a week silences
// them for that many minutes; anything else is refused (no value).
std::optional<int32_t> BusSilenceMinutes(int64_t minutes);

}  // namespace tarvel
