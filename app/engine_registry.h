#pragma once

#include <memory>

#include "accounts/account_type.h"
#include "accounts/mail_engine.h"

namespace tarvel {

// Creates the engine that serves an account type in this program.
std::unique_ptr<MailEngine> CreateEngine(const AccountTypeInfo& type);

}  // namespace tarvel
