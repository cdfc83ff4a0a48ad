// The iNotes engine's readers of server answers: the login page's refresh address and the
// inbox view, on the same bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "accounts/account_type.h"
#include "engines/protocol/inotes_engine.h"

using tarvel::INotesEngine;
using tarvel::Text;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const Text answer = Text::FromBytes(bytes);
  const Text address = INotesEngine::MailDatabaseAddress(answer);
  static const tarvel::AccountTypeInfo* type = [] {
    for (const tarvel::AccountTypeInfo& row : tarvel::kAccountTypes) {
      if (row.engine == tarvel::EngineKind::INotes)
        return &row;
    }
    return &tarvel::kAccountTypes[0];
  }();
  INotesEngine engine(*type);
  engine.ReadView(answer);
  // Never more records than the engine reads from one view.
  if (engine.mails.count() > INotesEngine::kMostRecords)
    __builtin_trap();
  // An address is what follows "URL=" inside the refresh element, so never longer.
  if (address.length() > answer.length())
    __builtin_trap();
  return 0;
}
