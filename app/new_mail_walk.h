#pragma once

#include <cstdint>

#include "platform/text.h"

namespace tarvel {

class CheckNotifier;
class MailEngine;

// At most this many new mails are listed in the new-mail text of one check.
inline constexpr uint32_t kNewMailLineLimit = 8;

// What the walks of one check add up to over all engines.
struct CheckTotals {
  Text newMailText;
  Text allMailText;
  uint32_t newCount = 0;
  uint32_t totalCount = 0;
};

// Decides which of the engine's mails are new against its watermark `newestSeenDate`, appends
// their lines to the texts, hands every record to the popup rows and moves the watermark to
// the first non-empty date of the list. Returns the number of new records of this engine.
uint32_t WalkNewMail(MailEngine& engine, CheckTotals& totals, bool popupAnnouncements,
                     CheckNotifier& notifier);

}  // namespace tarvel
