#include "ui/tray_tooltip.h"

#include <string>

namespace tarvel {

namespace {

constexpr std::u16string_view kProgramTitle = u"Tarvel E-Mail Notifier";

}  // namespace

Text TrayTooltipText(uint32_t totalCount, const Text& allMailText) {
  Text tooltip;
  if (totalCount == 0) {
    tooltip = u"No unread mails";
  } else if (totalCount == 1) {
    tooltip = u"1 new mail";
  } else {
    tooltip = Text::FromUtf8(std::to_string(totalCount));
    tooltip += u" new mails";
  }
  tooltip += u" - ";
  tooltip += kProgramTitle;
  if (!allMailText.isEmpty()) {
    tooltip += u"\r\r";
    tooltip += allMailText;
  }
  return tooltip;
}

}  // namespace tarvel
