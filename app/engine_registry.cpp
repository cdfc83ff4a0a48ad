#include "app/engine_registry.h"

#include "accounts/pending_engine.h"

namespace tarvel {

std::unique_ptr<MailEngine> CreateEngine(const AccountTypeInfo& type) {
  switch (type.engine) {
    default:
      return std::make_unique<PendingEngine>(type);
  }
}

}  // namespace tarvel
