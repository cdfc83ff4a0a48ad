#include "app/engine_registry.h"

#include "accounts/pending_engine.h"
#include "engines/protocol/ews_engine.h"

namespace tarvel {

std::unique_ptr<MailEngine> CreateEngine(const AccountTypeInfo& type) {
  switch (type.engine) {
    case EngineKind::Ews:
      return CreateEwsEngine(type, nullptr);
    default:
      return std::make_unique<PendingEngine>(type);
  }
}

}  // namespace tarvel
