#include "ui/notice/notification_popup.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPainter>

#include <algorithm>
#include <utility>

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

bool NotificationPopup::UseLayerSurface(WaylandClient& client) {
  LayerSurfaceContent content;
  content.size = view_->size();
  content.render = [this](qreal scale) { return RenderLayer(scale); };
  // The same page, the same clicks: the point is the page's, the surface shows its top left.
  content.click = [this](QPoint point) { view_->ClickAt(point); };
  // The compositor took the surface away: the popup ends as after its slide-out.
  content.closed = [this] { Destroy(); };
  layer_ = client.CreateSurface(std::move(content));
  if (!layer_)
    return false;
  // The widget stays the page's owner and painter; it gets no window of its own.
  setAttribute(Qt::WA_DontShowOnScreen);
  return true;
}

QImage NotificationPopup::RenderLayer(qreal scale) {
  const QImage page = view_->renderImage(view_->size(), scale);
  const double opacity = (transparency_ / double(kOpaque)) * (alpha_ / double(kOpaque));
  if (opacity >= 1.0)
    return page;
  // A see-through popup: the compositor blends the premultiplied pixels.
  QImage image(page.size(), QImage::Format_ARGB32_Premultiplied);
  image.setDevicePixelRatio(scale);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setOpacity(opacity);
  painter.drawImage(QPoint(0, 0), page);
  painter.end();
  return image;
}

void NotificationPopup::PlaceLayer() {
  if (!layer_ || !layerShown_)
    return;
  // Anchored at the corner the animator's edge gives, as far from the work area's edges as
  // the window would be; the compositor's own work area keeps the panels uncovered.
  LayerCorner corner = LayerCorner::BottomRight;
  switch (animator_.edge()) {
    case TaskbarEdge::Left:
      corner = LayerCorner::BottomLeft;
      break;
    case TaskbarEdge::Top:
      corner = LayerCorner::TopRight;
      break;
    case TaskbarEdge::Right:
    case TaskbarEdge::Bottom:
      corner = LayerCorner::BottomRight;
      break;
  }
  const PopupRect& rect = layerRect_;
  const PopupRect& work = workArea_;
  const QMargins margins(std::max(rect.x - work.x, 0), std::max(rect.y - work.y, 0),
                         std::max(work.right() - rect.right(), 0),
                         std::max(work.bottom() - rect.bottom(), 0));
  layer_->Place(corner, QSize(rect.width, rect.height), margins,
                windowFlags() & Qt::WindowStaysOnTopHint);
}

void NotificationPopup::Start(const ScreenGeometry& geometry, uint32_t stayMs) {
  workArea_ = geometry.workArea;
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
  if (layer_) {
    layerRect_ = rect;
    PlaceLayer();
    return;
  }
  // A window cannot be empty; at size 0 it is one pixel and the page is out of sight.
  setGeometry(rect.x, rect.y, std::max(rect.width, 1), std::max(rect.height, 1));
}

void NotificationPopup::ShowWithoutActivating(bool) {
  show();
  if (layer_) {
    layerShown_ = true;
    PlaceLayer();
  }
}

bool NotificationPopup::IsVisible() const {
  return layer_ ? layerShown_ && layer_->visible() : isVisible();
}

void NotificationPopup::SetAlpha(int alpha) {
  if (layer_) {
    if (std::exchange(alpha_, std::clamp(alpha, 0, static_cast<int>(kOpaque))) != alpha_)
      layer_->Repaint();
    return;
  }
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
  layer_.reset();
  hide();
  emit finishedHiding();
  deleteLater();
}

}  // namespace tarvel
