#pragma once

#include "platform/text.h"

namespace tarvel {

// True for the characters that outside text must never carry into a window, a tooltip, a
// notification or a terminal: the C0 and C1 controls and DEL (ESC starts terminal commands,
// BEL rings), and the invisible formatting characters that reorder or hide text and so can
// disguise a sender (bidirectional marks, embeddings, overrides and isolates, the line and
// paragraph separators, the byte-order mark, interlinear annotations).
bool IsControlCharacter(char32_t character);

// Drops every control character; tab, vertical tab, form feed, line breaks and the Unicode
// line and paragraph separators become spaces, so words stay apart.
void RemoveControlCharacters(Text& text);

// The text as plain text inside HTML or other markup: "&", "<", ">", '"' and "'" become
// character references. Everything that puts outside text into markup goes through here.
Text EscapeHtml(const Text& text);

// The text cut to at most `limit` code units, never between the two halves of a character.
Text CutText(const Text& text, Text::Position limit);

}  // namespace tarvel
