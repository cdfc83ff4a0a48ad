#include "ui/tray/tray_tooltip.h"

#include <algorithm>

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

Text AccountFailureText(const Text& displayName, CheckStatus status, const Text& reason) {
  if (status != CheckStatus::Failure && status != CheckStatus::LoginNeeded)
    return Text();
  Text text = displayName;
  text += u": ";
  if (!reason.isEmpty()) {
    text += reason;
  } else {
    text += std::u16string_view(status == CheckStatus::LoginNeeded ? u"a sign-in is needed"
                                                                   : u"the check failed");
  }
  return text;
}

Text TrayTooltipText(uint32_t totalCount, const Text& allMailText, const Text& failureLine) {
  if (failureLine.isEmpty())
    return TrayTooltipText(totalCount, allMailText);
  const Text head = TrayTooltipText(totalCount, Text());
  constexpr Text::Position kBreaks = 2;
  // The failure line keeps at least half of the tooltip; the mail lines get what is left.
  const Text failure = CutText(
      failureLine,
      std::max<Text::Position>(kTrayTipMaxLength / 2, kTrayTipMaxLength - head.length() - kBreaks));
  const Text::Position used = head.length() + kBreaks + failure.length();
  Text tooltip = head;
  if (!allMailText.isEmpty() && used + 1 < kTrayTipMaxLength) {
    tooltip += u"\r\r";
    tooltip += CutText(allMailText, kTrayTipMaxLength - used - 1);
    tooltip += u"\r";
  } else {
    tooltip += u"\r\r";
  }
  tooltip += failure;
  return tooltip;
}

Text CutTrayTip(const Text& tip) {
  return CutText(tip, kTrayTipMaxLength);
}

}  // namespace tarvel
