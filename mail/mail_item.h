#pragma once

#include <string>

#include "mail/list_node.h"
#include "platform/text.h"

namespace tarvel {

// One unread message as an engine reports it. Every field is empty when unknown.
class MailItem : public ListNode {
 public:
  MailItem() = default;
  MailItem(Text senderText, Text subjectText, Text folderText, Text dateText)
      : sender(std::move(senderText)),
        subject(std::move(subjectText)),
        folder(std::move(folderText)),
        date(std::move(dateText)) {}

  Text sender;   // display name, or the address when the service gives no name
  Text subject;  // subject line, or a message text for message services
  Text folder;   // label or folder the mail was found in; empty for the default inbox
  Text date;     // a text that sorts in time order; only compared, never parsed
  // What the account's engine needs to mark the message as read on the server (IMAP: the
  // mailbox's UIDVALIDITY, the UID and the mailbox; Exchange: the item's id and change key);
  // empty where the engine cannot mark it. Never shown.
  std::string markKey;
};

enum class MarkupMode {
  Sender,  // an address written as "<a@b>" keeps the address
  Plain,
};

// Removes tags, replaces the named entities and turns underscores into spaces.
void StripMarkup(Text& text, MarkupMode mode);

// The normalisation every record gets before it joins a list: escapes decoded, markup
// stripped, the subject on one line, control characters and invisible formatting dropped
// (from the folder too), both trimmed, surrounding quotes of the sender removed.
void NormalizeMail(MailItem& item);

// How dates are compared for the order of a mail list. The logical comparison is the normal
// one; the locale comparison (letter case ignored, then the plain order as a tie-break) is
// its fall-back where a logical comparison is not wanted.
enum class MailDateOrder {
  Logical,
  Locale,
};

// Order of a mail list: newest date first; equal dates keep the order they were added in.
// Returns > 0 when `added` belongs before `existing`. A null `order` means logical.
int CompareMailDates(const MailItem& existing, const MailItem& added, const MailDateOrder* order);

// Which text a mail line is appended to.
enum class MailText {
  NewMail,
  AllMail,
};

// Lines longer than this are cut and "..." appended, except new-mail lines shown in the
// popup window.
inline constexpr Text::Position kMailLineLimit = 40;

// Appends the record's one-line form to `text`, separated by a carriage return.
// `popupAnnouncements` is the option that shows new mail in the popup window (not a balloon).
void FormatMailLine(const MailItem& item, Text& text, MailText kind, bool popupAnnouncements);

}  // namespace tarvel
