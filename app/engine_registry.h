#pragma once

#include <memory>

#include "accounts/account_type.h"
#include "accounts/mail_engine.h"

namespace tarvel {

class AccessTokenRefresher;
class CheckInRelay;
class Clock;
class DiagnosticTrace;
class MainThreadRelay;
class OptionFlags;
class SettingsStore;

// What engines may need of the program; each part may be missing (null), and an engine then
// does without it.
struct EngineContext {
  SettingsStore* settings = nullptr;
  OptionFlags* flags = nullptr;
  Clock* clock = nullptr;
  CheckInRelay* checkIn = nullptr;  // starts a check of the cycle from an engine's thread
  AccessTokenRefresher* tokenRefresher = nullptr;
  DiagnosticTrace* trace = nullptr;       // the diagnostic log, for failures worth a line
  MainThreadRelay* mainThread = nullptr;  // the Notes request, settings writes: main thread
};

// Creates the engine that serves an account type in this program.
std::unique_ptr<MailEngine> CreateEngine(const AccountTypeInfo& type,
                                         const EngineContext& context = {});

// The IMAP slot (0 to 2) of a type row: its place among the IMAP rows of kAccountTypes.
uint32_t ImapSlotOf(const AccountTypeInfo& type);

}  // namespace tarvel
