#include "platform/display_text.h"

#include <string>
#include <string_view>

namespace tarvel {

namespace {

// Controls that separate words: they become a space rather than vanish.
bool IsSpacingControl(char32_t character) {
  return (character >= 0x09 && character <= 0x0D) || character == 0x85 || character == 0x2028 ||
         character == 0x2029;
}

}  // namespace

bool IsControlCharacter(char32_t character) {
  if (character < 0x20 || (character >= 0x7F && character <= 0x9F))
    return true;
  switch (character) {
    case 0x061C:  // Arabic letter mark
    case 0x200E:  // left-to-right mark
    case 0x200F:  // right-to-left mark
    case 0x2028:  // line separator
    case 0x2029:  // paragraph separator
    case 0xFEFF:  // byte-order mark, zero-width no-break space
      return true;
    default:
      break;
  }
  return (character >= 0x202A && character <= 0x202E) ||  // embeddings and overrides
         (character >= 0x2066 && character <= 0x2069) ||  // isolates
         (character >= 0x206A && character <= 0x206F) ||  // deprecated format controls
         (character >= 0xFFF9 && character <= 0xFFFB);    // interlinear annotations
}

void RemoveControlCharacters(Text& text) {
  std::u16string_view units = text.view();
  std::size_t first = 0;
  while (first < units.size() && !IsControlCharacter(units[first]))
    ++first;
  if (first == units.size())
    return;
  // Every character in question lies in the basic plane, so surrogates pass unchanged.
  std::u16string cleaned(units.substr(0, first));
  for (std::size_t i = first; i < units.size(); ++i) {
    const char16_t unit = units[i];
    if (!IsControlCharacter(unit))
      cleaned.push_back(unit);
    else if (IsSpacingControl(unit))
      cleaned.push_back(u' ');
  }
  text = Text(std::u16string_view(cleaned));
}

Text CutText(const Text& text, Text::Position limit) {
  if (text.length() <= limit)
    return text;
  Text::Position end = limit;
  // A high surrogate at the cut would leave half a character.
  if (end > 0 && text[end - 1] >= 0xD800 && text[end - 1] <= 0xDBFF)
    --end;
  return text.Left(end);
}

Text EscapeHtml(const Text& text) {
  std::u16string escaped;
  escaped.reserve(text.view().size());
  for (const char16_t unit : text.view()) {
    switch (unit) {
      case u'&':
        escaped.append(u"&amp;");
        break;
      case u'<':
        escaped.append(u"&lt;");
        break;
      case u'>':
        escaped.append(u"&gt;");
        break;
      case u'"':
        escaped.append(u"&quot;");
        break;
      case u'\'':
        escaped.append(u"&#39;");
        break;
      default:
        escaped.push_back(unit);
    }
  }
  return Text(std::u16string_view(escaped));
}

}  // namespace tarvel
