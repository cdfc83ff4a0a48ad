#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/text.h"

namespace tarvel {

// The popup's title line: the count text and the program's title.
Text PopupTitle(uint32_t newCount);

// The mail lines of a new-mail text (lines separated by carriage returns); an empty text has
// no lines.
std::vector<Text> SplitMailLines(const Text& newMailText);

// The popup's body: one div per mail line, the line's text escaped.
Text PopupTextFromLines(const std::vector<Text>& lines);

// A colour 0xRRGGBB as HTML: "#RRGGBB" in upper-case hexadecimal.
std::string HtmlColor(uint32_t rgb);

// A length in pixels at 96 DPI scaled by the screen's DPI factor, truncated.
uint32_t ScaledPixels(uint32_t pixels, double dpiFactor);

// What the popup page's placeholders are filled with.
struct PopupPageValues {
  Text title;  // plain text, escaped when filled in
  Text text;   // HTML fragments (PopupTextFromLines)
  uint32_t width = 500;
  double dpiFactor = 1.0;
  uint32_t textColor = 0x505050;
  uint32_t backgroundColor = 0xFCFCFC;
  uint32_t backgroundLogoColor = 0xF0F0F0;
};

// Widths of the page at 96 DPI.
inline constexpr uint32_t kPopupLogoWidth = 32;
inline constexpr uint32_t kPopupCloseWidth = 8;

// Replaces every placeholder of the list in one pass over the text, so a value that holds a
// placeholder's name is left as it is.
using Placeholder = std::pair<std::string_view, std::string>;
std::string FillPlaceholders(std::string_view text, std::span<const Placeholder> placeholders);

// Fills the popup page's placeholders (@TITLE@, @TEXT@, @WIDTH@, @WIDTH_LOGO@, @WIDTH_CLOSE@,
// @TEXT_COLOR@, @BACKGROUND_COLOR@, @BACKGROUND_LOGO_COLOR@) in one pass over the template, so
// a placeholder name inside a mail's text is left as the mail has it.
std::string FillPopupPage(std::string_view pageTemplate, const PopupPageValues& values);

}  // namespace tarvel
