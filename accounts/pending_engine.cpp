#include "accounts/pending_engine.h"

namespace tarvel {

CheckStatus PendingEngine::Check() {
  lastFailure = u"not available yet";
  return CheckStatus::Failure;
}

Text PendingEngine::GetDisplayName() const {
  return accountName.isEmpty() ? Text(type().displayName) : accountName;
}

}  // namespace tarvel
