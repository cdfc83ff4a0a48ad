#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
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
  // Not on the bus: the engine's type bit and what it needs to mark the message as read
  // (empty where it cannot).
  uint32_t typeBit = 0;
  std::string markKey{};

  bool operator==(const BusMailRecord&) const = default;
};

// What the interface publishes after each check.
struct BusMailSnapshot {
  std::vector<BusMailRecord> records;     // every unread record of the last check
  std::vector<BusMailRecord> newRecords;  // the records the check before did not have
  uint32_t unreadCount = 0;
  int64_t lastCheck = 0;    // Unix seconds of the end of the last check; 0 before the first
  uint32_t lastStatus = 0;  // the last check's status (CheckStatus)
  uint64_t checks = 0;      // how many checks have ended
};

// The records of the checks, for the session-bus interface. The check thread adds the records
// of the walk and ends the check; the main thread reads the published snapshot.
class BusMailState {
 public:
  // Check thread: one record of the walk.
  void Add(const BusMailRecord& record);
  // Check thread: the check ended with `unreadCount` records at `unixSeconds`; the records
  // added since the last end are published, the new ones among them marked.
  void Finish(uint32_t unreadCount, int64_t unixSeconds, CheckStatus status = CheckStatus::Success);
  BusMailSnapshot snapshot() const;
  // Any thread: the records of `ids` were marked as read; they leave the published records
  // and the count at once. Returns how many left.
  uint32_t Remove(const std::vector<std::string>& ids);
  // The ids of the last check's new records when every one of them can be marked as read
  // (mail of the IMAP and Exchange types); empty otherwise, and when there are none.
  std::vector<std::string> MarkableNewIds() const;

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

class MailEngine;

// Marks records as read on their servers, on a thread of its own (the engines' calls wait for
// the network). Requests are served one after the other in the order they came.
class MailMarker {
 public:
  // The engine of a type bit; called on the marking thread (the engines live for the run).
  using EngineOf = std::function<MailEngine*(uint32_t typeBit)>;
  struct Outcome {
    std::vector<std::string> marked;  // the ids marked as read
    std::string failure;              // UTF-8; empty when every record was marked
  };
  using Done = std::function<void(const Outcome&)>;

  MailMarker(BusMailState& state, EngineOf engineOf);
  ~MailMarker();
  MailMarker(const MailMarker&) = delete;
  MailMarker& operator=(const MailMarker&) = delete;

  // Any thread, never waits: marks the records of `ids`, removes the marked ones from the
  // state, then runs `done` on the marking thread. An id that is not among the last check's
  // records, or whose type cannot mark mail, is a failure.
  void Mark(std::vector<std::string> ids, Done done);

 private:
  void Run();
  Outcome MarkNow(const std::vector<std::string>& ids);

  BusMailState& state_;
  EngineOf engineOf_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::pair<std::vector<std::string>, Done>> queue_;  // guarded by mutex_
  bool stopping_ = false;                                        // guarded by mutex_
  std::thread thread_;
};

// The longest silence the interface accepts: a week.
inline constexpr int64_t kBusSilenceMaxMinutes = 7 * 24 * 60;

// `Silence(minutes)` over the bus: 0 turns the notifications on again, 1 to a week silences
// them for that many minutes; anything else is refused (no value).
std::optional<int32_t> BusSilenceMinutes(int64_t minutes);

}  // namespace tarvel
