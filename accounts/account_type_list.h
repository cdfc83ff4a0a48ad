#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "accounts/account_type.h"
#include "accounts/mail_engine.h"
#include "accounts/option_flags.h"
#include "mail/node_list.h"
#include "platform/worker_thread.h"

namespace tarvel {

class SettingsStore;

// Creates the engine of an account type.
using EngineFactory = std::function<std::unique_ptr<MailEngine>(const AccountTypeInfo&)>;

// All account types' engines in list order, and the one check thread. Built once at start;
// no engine is added or removed while the program runs.
class AccountTypeList {
 public:
  AccountTypeList(OptionFlags& flags, const EngineFactory& factory);
  AccountTypeList(const AccountTypeList&) = delete;
  AccountTypeList& operator=(const AccountTypeList&) = delete;
  ~AccountTypeList();

  MailEngine* first() const { return engines_.first(); }
  static MailEngine* next(const MailEngine* engine) { return NodeList<MailEngine>::next(engine); }

  // The engine at `index` in list order (0 to 20), or null.
  MailEngine* at(std::size_t index) const;
  MailEngine* findByTypeBit(uint32_t typeBit) const;

  // True when the engine's selectBit shares a bit with Flags.
  bool isEnabled(const MailEngine& engine) const { return flags_.any(engine.selectBit); }
  bool anyEnabled() const;

  // Hands the settings store to every engine, which reads its own settings from it.
  void LoadSettings(const SettingsStore& store);

  // Starts `routine` on the check thread unless a check still runs (then returns false and
  // does nothing else). Clears recheckRequested before starting.
  bool StartCheck(WorkerThread::Routine routine, WorkerThread::Completion completion = {});

  WorkerThread& checkThread() { return checkThread_; }
  OptionFlags& flags() const { return flags_; }

 private:
  OptionFlags& flags_;
  NodeList<MailEngine> engines_;
  std::array<MailEngine*, kAccountTypeCount> byIndex_{};
  WorkerThread checkThread_;
};

}  // namespace tarvel
