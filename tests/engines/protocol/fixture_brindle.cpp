// A Notes proxy library with the exports of engines/protocol/brindle_calls.h, for the Notes
// engine's tests. Its mail database is fixed; its behaviour comes from the environment:
//   TARVEL_FIXTURE_NOTES_PASSWORD  the database's password (unset: no prompt)
//   TARVEL_FIXTURE_NOTES_TYPED     what the "user" types into a prompt left to them
//   TARVEL_FIXTURE_NOTES_INIT      "0": the runtime does not start
// and every call is appended to a log the tests read (FixtureBrindle_Log).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "engines/protocol/brindle_calls.h"

using namespace tarvel::brindle;

namespace {

struct Document {
  uint32_t id;
  const char* folder;
  const char* subject;
  const char* sender;
  const char* date;
  bool unread;
};

// Subjects and senders as a Notes client hands them: hierarchical names, quoted display
// names with an address, plain names; one subject in UTF-8.
const Document kDocuments[] = {
    {11, "$Inbox", "Quarterly figures", "CN=Ann Archer/OU=Sales/O=Acme", "12/10/2026 09:15:00",
     true},
    {12, "$Inbox", "Read already", "CN=Bob Baker/O=Acme", "12/09/2026 08:00:00", false},
    {13, "$Inbox", "Caf\xC3\xA9 on Friday", "\"Cy Cole\" <cy@example.com>", "12/08/2026 17:30:00",
     true},
    {21, "Projects", "Plan", "Dee Dunn", "12/07/2026 10:00:00", true},
    {31, "Travel", "Tickets", "CN=Eve Eng/O=Acme", "12/06/2026 11:00:00", true},
    {41, "Hidden folder", "Only with all folders", "Fay Fox", "12/05/2026 12:00:00", true},
    // Its details cannot be read: the engine skips it.
    {99, "$Inbox", nullptr, nullptr, nullptr, true},
};

std::mutex lock;
std::string log;
bool open = false;
PromptHandler promptHandler = nullptr;
void* promptContext = nullptr;

void Append(const std::string& entry) {
  const std::lock_guard<std::mutex> guard(lock);
  log += entry;
  log += '\n';
}

const char* Variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// One prompt: the handler may answer; else the "user" types. The closing event reports what
// was entered. Returns what was entered.
std::string Prompt() {
  char buffer[128] = {};
  std::string entered;
  if (promptHandler && promptHandler(kPromptShown, buffer, sizeof buffer, promptContext) == 1) {
    buffer[sizeof buffer - 1] = 0;
    entered = buffer;
    Append("prompt answered");
  } else {
    entered = Variable("TARVEL_FIXTURE_NOTES_TYPED");
    Append("prompt left to the user");
  }
  std::memset(buffer, 0, sizeof buffer);
  std::strncpy(buffer, entered.c_str(), sizeof buffer - 1);
  if (promptHandler)
    promptHandler(kPromptClosed, buffer, sizeof buffer, promptContext);
  return entered;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int32_t Brindle_Init() {
  Append("Init");
  return std::strcmp(Variable("TARVEL_FIXTURE_NOTES_INIT"), "0") == 0 ? 0 : 1;
}

__attribute__((visibility("default"))) int32_t Brindle_DeInit() {
  Append("DeInit");
  return 1;
}

__attribute__((visibility("default"))) void Brindle_SetPasswordPrompt(PromptHandler handler,
                                                                      void* context) {
  promptHandler = handler;
  promptContext = context;
}

__attribute__((visibility("default"))) int32_t Brindle_DataBaseOpen() {
  Append("DataBaseOpen");
  const std::string password = Variable("TARVEL_FIXTURE_NOTES_PASSWORD");
  if (!password.empty()) {
    // A refused password brings the prompt once more, as the client does.
    if (Prompt() != password && Prompt() != password) {
      Append("refused");
      return 0;
    }
  }
  open = true;
  return 1;
}

__attribute__((visibility("default"))) int32_t Brindle_DataBaseClose() {
  Append("DataBaseClose");
  open = false;
  return 1;
}

__attribute__((visibility("default"))) int32_t Brindle_GetUnreadIds(const char* folder,
                                                                    UnreadCallback callback,
                                                                    void* context) {
  Append(std::string("GetUnreadIds ") + (folder ? folder : "(all)"));
  if (!open || !callback)
    return 0;
  bool known = folder == nullptr;
  for (const Document& document : kDocuments) {
    if (folder && std::strcmp(folder, document.folder) != 0)
      continue;
    known = true;
    if (document.unread)
      callback(document.id, context);
  }
  return known ? 1 : 0;
}

__attribute__((visibility("default"))) int32_t Brindle_GetIdDetails(uint32_t id,
                                                                    char (*fields)[kFieldSize]) {
  if (!open || !fields)
    return 0;
  for (const Document& document : kDocuments) {
    if (document.id != id || !document.subject)
      continue;
    std::strncpy(fields[0], document.subject, kFieldSize - 1);
    std::strncpy(fields[1], document.sender, kFieldSize - 1);
    std::strncpy(fields[2], document.date, kFieldSize - 1);
    return 1;
  }
  return 0;
}

// For the tests: the calls so far, one a line (and the log is emptied).
__attribute__((visibility("default"))) void FixtureBrindle_Log(char* buffer, uint32_t size) {
  const std::lock_guard<std::mutex> guard(lock);
  if (size == 0)
    return;
  std::strncpy(buffer, log.c_str(), size - 1);
  buffer[size - 1] = 0;
  log.clear();
}
}
