#include "tarvelctl/terminal_text.h"

#include <string_view>

#include "platform/display_text.h"

namespace tarvel::ctl {

std::string TerminalText(const Text& text, LineBreaks lineBreaks) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  std::u16string plain;
  const auto flush = [&] {
    out += Text(std::u16string_view(plain)).ToUtf8();
    plain.clear();
  };
  for (const char16_t unit : text.view()) {
    if (!IsControlCharacter(unit)) {
      plain.push_back(unit);
      continue;
    }
    flush();
    switch (unit) {
      case u'\r':
        out += lineBreaks == LineBreaks::Keep ? "\n" : "\\r";
        break;
      case u'\n':
        out += "\\n";
        break;
      case u'\t':
        out += "\\t";
        break;
      default:
        if (unit <= 0xFF) {
          out += "\\x";
        } else {
          out += "\\u";
          out += kHex[(unit >> 12) & 0xF];
          out += kHex[(unit >> 8) & 0xF];
        }
        out += kHex[(unit >> 4) & 0xF];
        out += kHex[unit & 0xF];
    }
  }
  flush();
  return out;
}

}  // namespace tarvel::ctl
