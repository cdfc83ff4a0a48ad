#include "ui/tray/tray_tooltip.h"

#include "platform/display_text.h"
#include "resources/string_table.h"

namespace tarvel {

namespace {

constexpr uint32_t kStringNoUnreadMails = 1;
constexpr uint32_t kStringOneNewMail = 2;
constexpr uint32_t kStringNewMails = 3;

}  // namespace

Text MailCountText(uint32_t count) {
  if (count == 0)
    return LoadString(kStringNoUnreadMails);
  if (count == 1)
    return LoadString(kStringOneNewMail);
  return FormatString(LoadString(kStringNewMails), count);
}

Text TrayTooltipText(uint32_t totalCount, const Text& allMailText) {
  Text tooltip = MailCountText(totalCount);
  tooltip += u" - ";
  tooltip += kProgramTitle;
  if (!allMailText.isEmpty()) {
    tooltip += u"\r\r";
    tooltip += allMailText;
  }
  return tooltip;
}

Text CutTrayTip(const Text& tip) {
  return CutText(tip, kTrayTipMaxLength);
}

}  // namespace tarvel
