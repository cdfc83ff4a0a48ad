#include "ui/html_text.h"

namespace tarvel {

Text EscapeHtmlText(std::u16string_view text) {
  Text escaped;
  for (const char16_t unit : text) {
    switch (unit) {
      case u'&':
        escaped += u"&amp;";
        break;
      case u'<':
        escaped += u"&lt;";
        break;
      case u'>':
        escaped += u"&gt;";
        break;
      default:
        escaped += unit;
    }
  }
  return escaped;
}

}  // namespace tarvel
