#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "accounts/account_type.h"
#include "mail/check_status.h"
#include "mail/mail_item.h"
#include "mail/node_list.h"
#include "platform/text.h"

namespace tarvel {

class ReaderLauncher;
class SettingsStore;

// Whether AddMail keeps the service's order or sorts by date.
enum class MailOrder {
  AsReported,  // the service is known to list newest first
  SortedByDate,
};

// What the user interface shows of an account: its own name and its unread count.
struct AccountSummary {
  Text accountName;
  std::size_t unreadCount = 0;
};

// A check engine: one per account type, created once at start and kept for the whole run.
class MailEngine : public ListNode {
 public:
  explicit MailEngine(const AccountTypeInfo& type);
  ~MailEngine() override;

  // Reads the account type's own settings. Called whenever the settings store is (re)loaded;
  // engines without settings of their own keep this empty default.
  virtual void LoadSettings(const SettingsStore& store) { static_cast<void>(store); }

  // Returns 1 when a fresh check is to run now. Any other value keeps the previous mails,
  // which are walked again (all of them count as seen).
  virtual int ReadyToCheck() { return 1; }

  // Runs one check: `mails` is empty on entry and is filled through AddMail. A check that
  // waits for the network ends early, as a failure, once stopRequested() turns true.
  virtual CheckStatus Check() = 0;

  // The flag that asks a running check to end (the check thread's stop request), set by the
  // owner of the engines before any check; null when nobody can ask. It outlives the engine.
  void SetStopSignal(const std::atomic<bool>* signal) { stopSignal_.store(signal); }
  const std::atomic<bool>* stopSignal() const { return stopSignal_.load(); }
  bool stopRequested() const {
    const std::atomic<bool>* signal = stopSignal_.load();
    return signal != nullptr && signal->load();
  }

  // Opens the account's mail for the user.
  virtual bool OpenReader(ReaderLauncher& launcher);

  // The name under which the account is shown.
  virtual Text GetDisplayName() const = 0;

  // Marks the message of a record (its markKey) as read on the server. Runs on a thread of
  // its own, never the main thread, and may run beside a check. False, with a short reason
  // in `failure`, when the server refused or the type cannot mark mail; the base cannot.
  virtual bool MarkRead(const std::string& markKey, Text& failure);

  // Normalises the record and adds it to `mails`, which takes ownership.
  void AddMail(std::unique_ptr<MailItem> item, MailOrder order);

  AccountSummary GetAccountSummary() const { return {accountName, mails.count()}; }

  const AccountTypeInfo& type() const { return *type_; }

  // Set by LoadSettings when a user name, password or token of the account is kept in the
  // desktop's keyring and the keyring could not give it (locked, not running): the checks
  // then fail with a reason that says so instead of signing in without it.
  void SetSecretsUnreadable(bool unreadable) { secretsUnreadable_.store(unreadable); }
  bool secretsUnreadable() const { return secretsUnreadable_.load(); }

  Text newestSeenDate;  // the new-mail watermark
  Text name;            // internal name of the account type
  Text accountName;     // the account's own name, learnt during a check
  Text website;         // the address OpenReader opens in the browser
  Text reader;          // the reader setting: a browser, an address or a mail program
  NodeList<MailItem> mails;
  uint32_t iconId;
  uint32_t logoId;
  uint32_t typeBit;
  uint64_t selectBit;

  // Outcome of the last check, for reports: its status, a short reason when it failed, and
  // the number of records the new-mail walk found new.
  CheckStatus lastStatus = CheckStatus::Success;
  Text lastFailure;
  FailureKind lastFailureKind = FailureKind::Transient;  // meaningful after a failure
  uint32_t lastNewCount = 0;

 private:
  const AccountTypeInfo* type_;
  std::atomic<const std::atomic<bool>*> stopSignal_{nullptr};
  std::atomic<bool> secretsUnreadable_{false};
};

// The name derived from an address: schemes and "www." removed in any letter case, the first
// character in upper case, cut at the first "/".
Text NameFromAddress(const Text& address);

}  // namespace tarvel
