#pragma once

#include <string>

#include "platform/text.h"

namespace tarvel::ctl {

// What carriage returns in a text are.
enum class LineBreaks {
  Escape,  // outside text: shown as "\r" like every other control character
  Keep,    // the program's own line separator: printed as line feeds
};

// The text as UTF-8 for a terminal, with every control character and every invisible
// formatting character (direction overrides and the like) written as an escape ("\x1b",
// "\u202e"), so outside text can neither send terminal commands nor disguise itself.
std::string TerminalText(const Text& text, LineBreaks lineBreaks = LineBreaks::Escape);

}  // namespace tarvel::ctl
