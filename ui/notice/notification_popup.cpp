#include "ui/notice/notification_popup.h"

#include <QAccessible>
#include <QAccessibleWidget>

namespace tarvel {

namespace {

constexpr uint32_t kOpaque = 255;

// The popup is an alert for assistive technology: screen readers speak an alert window's
// texts when it shows, though it never takes the focus (the desktop's accessibility bus
// passes no alert events on, only the role and the window's appearance).
QAccessibleInterface* PopupAccessibleFactory(const QString& key, QObject* object) {
  if (key == QLatin1String("tarvel::NotificationPopup") && object && object->isWidgetType())
    return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::AlertMessage);
  return nullptr;
}

}  // namespace

NotificationPopup::NotificationPopup(uint32_t transparency, bool topMost)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus |
                           Qt::X11BypassWindowManagerHint |
                           (topMost ? Qt::WindowStaysOnTopHint : Qt::WindowFlags())),
      view_(new HtmlView(this)),
      animator_(*this, timers_),
      transparency_(std::min(transparency, kOpaque)) {
  static const bool factoryInstalled = [] {
    QAccessible::installFactory(PopupAccessibleFactory);
    return true;
  }();
  (void)factoryInstalled;
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFocusPolicy(Qt::NoFocus);
  setAccessibleName(tr("New mail"));
  view_->setAccessibleName(tr("New mail"));
  view_->setExternal(this);
  timers_.setHandler(&animator_);
  SetAlpha(static_cast<int>(kOpaque));
}

NotificationPopup::~NotificationPopup() {
  timers_.setHandler(nullptr);
}

bool NotificationPopup::LoadPage(const QByteArray& page, double dpiFactor, int layoutWidth) {
  view_->setDpiFactor(dpiFactor);
  view_->setLayoutWidth(std::max(layoutWidth, 1));
  if (!view_->setPageText(page))
    return false;
  const std::optional<QSize> size = view_->elementSize(u"main"_qs);
  if (!size || size->isEmpty())
    return false;
  view_->setGeometry(QRect(QPoint(0, 0), *size));
  resize(*size);
  return true;
}

void NotificationPopup::Start(const ScreenGeometry& geometry, uint32_t stayMs) {
  const QSize full = view_->size();
  animator_.Show(
      geometry, full.width(), full.height(), stayMs, kPopupSlideStep,
      (windowFlags() & Qt::WindowStaysOnTopHint) ? kPopupSlide : kPopupSlide | kPopupNotTopMost);
}

void NotificationPopup::HidePopup() {
  animator_.Hide();
}

void NotificationPopup::Open(std::optional<uint32_t>) {
  if (handled_)
    return;
  handled_ = true;
  if (openAction_)
    openAction_();
  HidePopup();
}

void NotificationPopup::Close() {
  if (handled_)
    return;
  handled_ = true;
  HidePopup();
}

void NotificationPopup::SetGeometry(const PopupRect& rect) {
  // A window cannot be empty; at size 0 it is one pixel and the page is out of sight.
  setGeometry(rect.x, rect.y, std::max(rect.width, 1), std::max(rect.height, 1));
}

void NotificationPopup::ShowWithoutActivating(bool) {
  show();
}

void NotificationPopup::SetAlpha(int alpha) {
  // An opaque popup stays an ordinary window; only a see-through one gets an opacity.
  const double opacity = (transparency_ / double(kOpaque)) * (alpha / double(kOpaque));
  if (transparency_ == kOpaque && alpha >= static_cast<int>(kOpaque)) {
    if (windowOpacity() < 1.0)
      setWindowOpacity(1.0);
    return;
  }
  setWindowOpacity(opacity);
}

void NotificationPopup::Destroy() {
  if (finished_)
    return;
  finished_ = true;
  hide();
  emit finishedHiding();
  deleteLater();
}

}  // namespace tarvel
