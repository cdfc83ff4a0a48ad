#pragma once

#include <string_view>

#include "platform/text.h"

namespace tarvel {

// Text put into an HTML page as character data: "&", "<" and ">" become their character
// references, so a mail's sender or subject can never open a tag or an entity of its own.
Text EscapeHtmlText(std::u16string_view text);

}  // namespace tarvel
