#pragma once

#include <cstdint>

#include "platform/text.h"

namespace tarvel {

// The count text of the tray and of a notice: "No unread mails", "1 new mail" or
// "N new mails".
Text MailCountText(uint32_t count);

// The tray icon's tooltip: the count text and the program's title joined as "%s - %s", then,
// when there is unread mail, two carriage returns and the all-mail text.
Text TrayTooltipText(uint32_t totalCount, const Text& allMailText);

// The most code units the tray shows of a tooltip.
inline constexpr Text::Position kTrayTipMaxLength = 127;

// The tooltip as the tray keeps it: the first 127 code units, one fewer when the cut would
// split a surrogate pair.
Text CutTrayTip(const Text& tip);

}  // namespace tarvel
