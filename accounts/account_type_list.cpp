#include "accounts/account_type_list.h"

namespace tarvel {

AccountTypeList::AccountTypeList(OptionFlags& flags, const EngineFactory& factory) : flags_(flags) {
  for (std::size_t index = 0; index < kAccountTypes.size(); ++index) {
    std::unique_ptr<MailEngine> engine = factory(kAccountTypes[index]);
    // A stop request of the check thread reaches the check the engine runs.
    engine->SetStopSignal(&checkThread_.stopSignal());
    byIndex_[index] = engine.get();
    engines_.append(std::move(engine));
  }
}

AccountTypeList::~AccountTypeList() {
  // A check still running uses the engines: ask it to end, and let it end before they go.
  checkThread_.requestStop();
  checkThread_.waitFinished(0);
}

MailEngine* AccountTypeList::at(std::size_t index) const {
  return index < byIndex_.size() ? byIndex_[index] : nullptr;
}

MailEngine* AccountTypeList::findByTypeBit(uint32_t typeBit) const {
  for (MailEngine* engine = first(); engine; engine = next(engine)) {
    if (engine->typeBit == typeBit)
      return engine;
  }
  return nullptr;
}

bool AccountTypeList::anyEnabled() const {
  for (const MailEngine* engine = first(); engine; engine = next(engine)) {
    if (isEnabled(*engine))
      return true;
  }
  return false;
}

void AccountTypeList::LoadSettings(const SettingsStore& store) {
  for (MailEngine* engine = first(); engine; engine = next(engine))
    engine->LoadSettings(store);
}

bool AccountTypeList::StartCheck(WorkerThread::Routine routine,
                                 WorkerThread::Completion completion) {
  if (!checkThread_.isFinished())
    return false;
  flags_.clear(flag_bits::kRecheckRequested);
  return checkThread_.start(std::move(routine), std::move(completion));
}

}  // namespace tarvel
