#pragma once

#include <string>

#include "platform/text.h"

namespace tarvel::ctl {

// A JSON string literal of the text: UTF-8, with quotes, backslashes, control characters and
// invisible formatting characters (direction overrides, line separators) escaped, so the
// output never carries a control character. Unpaired surrogates become U+FFFD.
std::string JsonString(const Text& text);

}  // namespace tarvel::ctl
