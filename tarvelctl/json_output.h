#pragma once

#include <string>

#include "platform/text.h"

namespace tarvel::ctl {

// A JSON string literal of the text: UTF-8, with quotes, backslashes and control characters
// escaped. Unpaired surrogates become U+FFFD.
std::string JsonString(const Text& text);

}  // namespace tarvel::ctl
