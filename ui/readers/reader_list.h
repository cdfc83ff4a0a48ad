#pragma once

#include <cstdint>
#include <vector>

#include "accounts/account_type.h"
#include "platform/text.h"
#include "ui/readers/reader_commands.h"

namespace tarvel {

// One entry of an account page's E-Mail Reader list.
struct ReaderListEntry {
  Text name;
  uint32_t iconId = 0;
};

// The icon shown beside a reader name (names compared without regard to case).
uint32_t ReaderIconId(const Text& name);

// The E-Mail Reader list of an account type's page: the type's own default reader with the
// type's icon, then every reader name the desktop offers that is not yet listed; "Hotmail"
// only for Outlook.com, "IBM Notes" and "Lotus Notes" only for Notes.
std::vector<ReaderListEntry> BuildReaderList(const AccountTypeInfo& type,
                                             const ReaderSources& sources);

}  // namespace tarvel
