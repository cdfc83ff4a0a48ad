#include "ui/tray_tooltip.h"

#include "resources/string_table.h"

namespace tarvel {

namespace {

constexpr uint32_t kStringNoUnreadMails = 1;
constexpr uint32_t kStringOneNewMail = 2;
constexpr uint32_t kStringNewMails = 3;

}  // namespace

Text TrayTooltipText(uint32_t totalCount, const Text& allMailText) {
  Text tooltip;
  if (totalCount == 0) {
    tooltip = LoadString(kStringNoUnreadMails);
  } else if (totalCount == 1) {
    tooltip = LoadString(kStringOneNewMail);
  } else {
    tooltip = FormatString(LoadString(kStringNewMails), totalCount);
  }
  tooltip += u" - ";
  tooltip += kProgramTitle;
  if (!allMailText.isEmpty()) {
    tooltip += u"\r\r";
    tooltip += allMailText;
  }
  return tooltip;
}

Text CutTrayTip(const Text& tip) {
  if (tip.length() <= kTrayTipMaxLength)
    return tip;
  Text::Position length = kTrayTipMaxLength;
  const Text::Unit last = tip[length - 1];
  if (last >= 0xD800 && last <= 0xDBFF)
    --length;
  return tip.Left(length);
}

}  // namespace tarvel
