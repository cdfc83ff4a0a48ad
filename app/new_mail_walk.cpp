#include "app/new_mail_walk.h"

#include "accounts/mail_engine.h"
#include "app/check_notifier.h"

namespace tarvel {

uint32_t WalkNewMail(MailEngine& engine, CheckTotals& totals, bool popupAnnouncements,
                     CheckNotifier& notifier) {
  const Text& watermark = engine.newestSeenDate;
  Text newestDate;
  bool seenReached = false;
  uint32_t engineNewCount = 0;
  uint32_t position = 0;
  for (MailItem* item = engine.mails.first(); item; item = NodeList<MailItem>::next(item)) {
    if (newestDate.isEmpty())
      newestDate = item->date;
    // A record not later than the watermark (an empty date included, while the watermark is
    // empty) ends the run of new records for the rest of the list.
    if (Text::Compare(watermark, item->date) >= 0)
      seenReached = true;
    if (!seenReached) {
      if (totals.newCount < kNewMailLineLimit) {
        FormatMailLine(*item, totals.newMailText, MailText::NewMail, popupAnnouncements);
      }
      ++totals.newCount;
      ++engineNewCount;
    }
    FormatMailLine(*item, totals.allMailText, MailText::AllMail, popupAnnouncements);
    notifier.AddPopupRow(engine, *item, position);
    ++position;
  }
  engine.newestSeenDate = newestDate;
  return engineNewCount;
}

}  // namespace tarvel
