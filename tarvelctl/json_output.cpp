#include "tarvelctl/json_output.h"

#include <string_view>

#include "platform/display_text.h"

namespace tarvel::ctl {

std::string JsonString(const Text& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  std::u16string plain;
  const auto flush = [&] {
    out += Text(std::u16string_view(plain)).ToUtf8();
    plain.clear();
  };
  for (const char16_t unit : text.view()) {
    if (unit == u'"' || unit == u'\\') {
      flush();
      out += '\\';
      out += static_cast<char>(unit);
      continue;
    }
    if (!IsControlCharacter(unit)) {
      plain.push_back(unit);
      continue;
    }
    flush();
    switch (unit) {
      case u'\b':
        out += "\\b";
        break;
      case u'\f':
        out += "\\f";
        break;
      case u'\n':
        out += "\\n";
        break;
      case u'\r':
        out += "\\r";
        break;
      case u'\t':
        out += "\\t";
        break;
      default:
        out += "\\u";
        out += kHex[(unit >> 12) & 0xF];
        out += kHex[(unit >> 8) & 0xF];
        out += kHex[(unit >> 4) & 0xF];
        out += kHex[unit & 0xF];
    }
  }
  flush();
  out += '"';
  return out;
}

}  // namespace tarvel::ctl
