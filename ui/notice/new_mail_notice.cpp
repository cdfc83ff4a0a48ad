#include "ui/notice/new_mail_notice.h"

#include <limits>

#include "accounts/option_flags.h"
#include "app/main_window_port.h"
#include "app/window_messages.h"
#include "platform/display_text.h"
#include "ui/notice/popup_page.h"
#include "ui/tray/tray_tooltip.h"

namespace tarvel {

NewMailNotice::NewMailNotice(const OptionFlags& flags, MainWindowPort& mainWindow,
                             BalloonSink& balloons)
    : flags_(flags), mainWindow_(mainWindow), balloons_(balloons) {}

uint32_t NewMailNotice::toolTipMilliseconds() const {
  const uint64_t milliseconds = uint64_t{toolTipSeconds_.load()} * 1000;
  return milliseconds > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                             : static_cast<uint32_t>(milliseconds);
}

void NewMailNotice::NotifyNewMail(const Text& newMailText, uint32_t newCount, CheckStatus status) {
  if (flags_.any(flag_bits::kPopupAnnouncements) && popupPlaceable_.load()) {
    {
      std::lock_guard lock(mutex_);
      popup_.title = PopupTitle(newCount);
      popup_.lines = SplitMailLines(newMailText);
    }
    mainWindow_.PostMessage(kMsgShowPopup, 0, 0);
    return;
  }
  BalloonNotice notice;
  notice.title = CutText(MailCountText(newCount), kBalloonTitleLimit);
  notice.text = CutText(newMailText, kBalloonTextLimit);
  notice.timeoutMs = toolTipMilliseconds();
  notice.status = status;
  balloons_.ShowBalloon(notice);
}

PopupContent NewMailNotice::popupContent() const {
  std::lock_guard lock(mutex_);
  return popup_;
}

}  // namespace tarvel
