#pragma once

#include "accounts/mail_engine.h"

namespace tarvel {

// The engine of an account type whose checking is not built into this program: every check
// fails with the reason "not available yet".
class PendingEngine : public MailEngine {
 public:
  using MailEngine::MailEngine;
  CheckStatus Check() override;
  Text GetDisplayName() const override;
};

}  // namespace tarvel
