#include "ui/notice/popup_page.h"

#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "platform/display_text.h"
#include "resources/string_table.h"
#include "ui/tray/tray_tooltip.h"

namespace tarvel {

Text PopupTitle(uint32_t newCount) {
  Text title = MailCountText(newCount);
  title += u" - ";
  title += kProgramTitle;
  return title;
}

std::vector<Text> SplitMailLines(const Text& newMailText) {
  std::vector<Text> lines;
  if (newMailText.isEmpty())
    return lines;
  Text::Position start = 0;
  for (;;) {
    const Text::Position end = newMailText.FindChar(u'\r', start);
    if (end == Text::kNotFound) {
      lines.push_back(newMailText.Mid(start));
      return lines;
    }
    lines.push_back(newMailText.Mid(start, end - start));
    start = end + 1;
  }
}

Text PopupTextFromLines(const std::vector<Text>& lines) {
  Text text;
  for (const Text& line : lines) {
    text += u"<div>";
    text += EscapeHtml(line);
    text += u"</div>";
  }
  return text;
}

std::string HtmlColor(uint32_t rgb) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string color = "#";
  rgb &= 0xFFFFFF;
  for (int shift = 20; shift >= 0; shift -= 4)
    color += kDigits[(rgb >> shift) & 0xF];
  return color;
}

uint32_t ScaledPixels(uint32_t pixels, double dpiFactor) {
  const double scaled = static_cast<double>(pixels) * dpiFactor;
  if (!(scaled > 0))  // also NaN
    return 0;
  if (scaled >= static_cast<double>(std::numeric_limits<uint32_t>::max()))
    return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(scaled);
}

std::string FillPlaceholders(std::string_view text, std::span<const Placeholder> placeholders) {
  std::string filled;
  filled.reserve(text.size());
  std::size_t position = 0;
  while (position < text.size()) {
    const std::size_t at = text.find('@', position);
    if (at == std::string_view::npos) {
      filled.append(text.substr(position));
      break;
    }
    filled.append(text.substr(position, at - position));
    bool replaced = false;
    for (const auto& [name, value] : placeholders) {
      if (text.substr(at, name.size()) == name) {
        filled += value;
        position = at + name.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) {
      filled += '@';
      position = at + 1;
    }
  }
  return filled;
}

std::string FillPopupPage(std::string_view pageTemplate, const PopupPageValues& values) {
  const std::array<Placeholder, 8> replacements = {{
      {"@TITLE@", EscapeHtml(values.title).ToUtf8()},
      {"@TEXT@", values.text.ToUtf8()},
      {"@WIDTH@", std::to_string(ScaledPixels(values.width, values.dpiFactor))},
      {"@WIDTH_LOGO@", std::to_string(ScaledPixels(kPopupLogoWidth, values.dpiFactor))},
      {"@WIDTH_CLOSE@", std::to_string(ScaledPixels(kPopupCloseWidth, values.dpiFactor))},
      {"@TEXT_COLOR@", HtmlColor(values.textColor)},
      {"@BACKGROUND_COLOR@", HtmlColor(values.backgroundColor)},
      {"@BACKGROUND_LOGO_COLOR@", HtmlColor(values.backgroundLogoColor)},
  }};
  return FillPlaceholders(pageTemplate, replacements);
}

}  // namespace tarvel
