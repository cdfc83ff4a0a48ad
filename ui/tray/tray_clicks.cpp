#include "ui/tray/tray_clicks.h"

namespace tarvel {

TrayClickAction TrayClickHandler::OnEvent(TrayEvent event, const TrayClickContext& context) {
  TrayClickAction action;
  switch (event) {
    case TrayEvent::RightButtonDown:
      action.showMenu = true;
      return action;
    case TrayEvent::LeftButtonDown:
    case TrayEvent::LeftDoubleClick:
    case TrayEvent::BalloonClick:
      break;
    default:
      return action;
  }
  // The steady clock never goes back; a clock that did would make the difference wrap and
  // accept the click, which is the harmless side.
  if (lastAcceptedClick_ &&
      context.nowMilliseconds - *lastAcceptedClick_ < context.doubleClickMilliseconds) {
    return action;
  }
  lastAcceptedClick_ = context.nowMilliseconds;
  if (event == TrayEvent::BalloonClick) {
    action.stopSound = context.soundConfigured;
    action.readerMask = context.newMailMask;
  } else {
    action.stopSound = context.mailMask != 0 && context.soundConfigured;
    action.readerMask = context.mailMask != 0 ? context.mailMask : context.enabledMask;
  }
  action.openReaders = true;
  action.checkSoon = true;
  return action;
}

}  // namespace tarvel
