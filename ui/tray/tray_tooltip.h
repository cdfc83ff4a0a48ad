#pragma once

#include <cstdint>

#include "mail/check_status.h"
#include "platform/text.h"

namespace tarvel {

// The count text of the tray and of a notice: "No unread mails", "1 new mail" or
// "N new mails".
Text MailCountText(uint32_t count);

// The tray icon's tooltip: the count text and the program's title joined as "%s - %s", then,
// when there is unread mail, two carriage returns and the all-mail text.
Text TrayTooltipText(uint32_t totalCount, const Text& allMailText);

// What the tray says of an account whose check failed, in the words of the engine's reason:
// "IMAP #1: the server refused the login". Empty for a check that did not fail (a success or
// outside the check hours); a failure without a reason says that the check failed.
Text AccountFailureText(const Text& displayName, CheckStatus status, const Text& reason);

// The tooltip with the failed accounts' line (`failureLine`, may be empty) as its last line:
// the mail lines are shortened so that the failure line stays within what the tray shows.
Text TrayTooltipText(uint32_t totalCount, const Text& allMailText, const Text& failureLine);

// The most code units the tray shows of a tooltip.
inline constexpr Text::Position kTrayTipMaxLength = 127;

// The tooltip as the tray keeps it: the first 127 code units, one fewer when the cut would
// split a surrogate pair.
Text CutTrayTip(const Text& tip);

}  // namespace tarvel
