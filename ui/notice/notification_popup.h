#pragma once

#include <QWidget>

#include <functional>
#include <memory>

#include "ui/adapters/qt_main_window.h"
#include "ui/adapters/wayland_client.h"
#include "ui/notice/html_view.h"
#include "ui/notice/popup_animator.h"

namespace tarvel {

// The new-mail popup: a frameless tool window that never takes the focus, shows the popup
// page in an HtmlView and is slid in and out by its PopupAnimator. Open and Close from the
// page are acted on once; the window deletes itself when the slide-out ends.
class NotificationPopup : public QWidget, public PopupSurface, public HtmlExternal {
  Q_OBJECT

 public:
  // `transparency` is the window's opacity, 0 to 255; 255 is an ordinary opaque window.
  NotificationPopup(uint32_t transparency, bool topMost);
  ~NotificationPopup() override;

  // Called by the first Open of the page.
  void setOpenAction(std::function<void()> action) { openAction_ = std::move(action); }

  // Loads the page laid out in `layoutWidth` and sizes the window to its "main" element.
  // False (the window stays hidden) when the page has no such element.
  bool LoadPage(const QByteArray& page, double dpiFactor, int layoutWidth);
  // After the page: the popup is shown as a layer surface of the compositor at the corner
  // instead of a window of its own (a Wayland session, where a window cannot be placed).
  // False when the compositor gives none.
  bool UseLayerSurface(WaylandClient& client);
  bool onLayerSurface() const { return layer_ != nullptr; }
  // Slides the window in at the panel's edge.
  void Start(const ScreenGeometry& geometry, uint32_t stayMs);
  // Slides the window out; it closes and deletes itself at the end.
  void HidePopup();

  HtmlView* view() { return view_; }
  PopupAnimator& animator() { return animator_; }
  bool handled() const { return handled_; }
  bool finished() const { return finished_; }
  uint32_t transparency() const { return transparency_; }

  // HtmlExternal
  void Open(std::optional<uint32_t> argument) override;
  void Close() override;

  // PopupSurface
  void SetGeometry(const PopupRect& rect) override;
  void ShowWithoutActivating(bool topMost) override;
  void SetAlpha(int alpha) override;
  bool IsVisible() const override;
  void Destroy() override;

 signals:
  // The slide-out ended; the window is about to be deleted.
  void finishedHiding();

 private:
  QImage RenderLayer(qreal scale);
  void PlaceLayer();

  HtmlView* view_;
  std::unique_ptr<LayerSurface> layer_;
  PopupRect layerRect_;
  PopupRect workArea_;
  int alpha_ = 255;
  bool layerShown_ = false;
  QtMainWindow timers_;
  PopupAnimator animator_;
  std::function<void()> openAction_;
  uint32_t transparency_;
  bool handled_ = false;
  bool finished_ = false;
};

}  // namespace tarvel
