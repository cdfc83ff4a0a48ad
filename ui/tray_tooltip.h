#pragma once

#include <cstdint>

#include "platform/text.h"

namespace tarvel {

// The tray icon's tooltip: the count text and the program's title joined as "%s - %s", then,
// when there is unread mail, two carriage returns and the all-mail text.
Text TrayTooltipText(uint32_t totalCount, const Text& allMailText);

}  // namespace tarvel
