#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct _GDBusConnection GDBusConnection;

namespace tarvel::ctl {

// One unread record as the running notifier hands it out (UTF-8 texts from the bus).
struct NotifierRecord {
  std::string account;
  std::string sender;
  std::string subject;
  std::string folder;
  std::string date;
  std::string id;
};

// What a check of the running notifier ended with.
struct NotifierCheck {
  uint32_t status = 0;
  std::vector<NotifierRecord> records;
  std::vector<NotifierRecord> newRecords;
};

// A client of the running notifier's session-bus interface. Every call is bounded by a
// time-out; a failure leaves its text in error().
class NotifierBus {
 public:
  // The session bus, or null when there is none (no address, or nobody listening there). The
  // bus is never started on demand.
  static std::unique_ptr<NotifierBus> Connect();
  ~NotifierBus();
  NotifierBus(const NotifierBus&) = delete;
  NotifierBus& operator=(const NotifierBus&) = delete;

  // Whether the notifier's name has an owner on the bus; no value when the bus did not say.
  std::optional<bool> ProgramRunning();

  bool GetUnread(std::vector<NotifierRecord>& records);
  bool Silence(int32_t minutes);
  // Asks for a check and waits up to `timeoutSeconds` for the end of the check that runs
  // then (the one it started, or the one that was already running), then reads the records.
  bool Check(uint32_t timeoutSeconds, NotifierCheck& check);

  const std::string& error() const { return error_; }

 private:
  explicit NotifierBus(GDBusConnection* connection) : connection_(connection) {}

  GDBusConnection* connection_;
  std::string error_;
};

// The longest a single call to the notifier waits for its answer.
inline constexpr int kNotifierCallTimeoutMs = 10'000;

}  // namespace tarvel::ctl
