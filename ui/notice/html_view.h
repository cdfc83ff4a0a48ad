#pragma once

#include <QAccessible>
#include <QImage>
#include <QSize>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "ui/notice/html_container.h"

namespace tarvel {

// An element's text as a screen reader is to read it: the texts of its cells and blocks,
// each with its white space simplified, joined by ", " ("Bob, A folded subject line").
QString ReadableText(const litehtml::element::ptr& element);

// What a page may call: the onclick forms window.external.Open(), Open(N) and Close().
class HtmlExternal {
 public:
  virtual ~HtmlExternal() = default;
  virtual void Open(std::optional<uint32_t> argument) = 0;
  virtual void Close() = 0;
};

// A small embedded HTML view: lays out and paints a page with litehtml. It runs no script
// and never touches the network: images come from the program's resources, and a click
// reaches the external object only through an onclick attribute of the forms above, on the
// clicked element or its nearest ancestor that has one.
class HtmlView : public QWidget {
  Q_OBJECT

 public:
  explicit HtmlView(QWidget* parent = nullptr);
  ~HtmlView() override;

  void setExternal(HtmlExternal* external) { external_ = external; }
  // The screen's DPI factor (logical DPI / 96); set before the page.
  void setDpiFactor(double factor);
  // The width the page is laid out in; 0 (the default) lays it out in the view's width.
  void setLayoutWidth(int width);

  // Loads and lays out a page (UTF-8 HTML). False when it cannot be parsed.
  bool setPageText(const QByteArray& html);
  bool hasPage() const { return document_ != nullptr; }
  // The border box of the element with this id after layout; none without such an element.
  std::optional<QRect> elementRect(const QString& id) const;
  std::optional<QSize> elementSize(const QString& id) const;
  // The text content of the element with this id (UTF-8 decoded); empty without one.
  QString elementText(const QString& id) const;
  // How many elements of this tag name (letters and digits only) the page holds.
  int elementCount(const QString& tagName) const;
  // The page's laid-out size.
  QSize pageSize() const;

  // The page scrolls vertically when it is higher than the view; the offset is kept within
  // the page.
  void setScrollY(int offset);
  int scrollY() const { return scrollY_; }

  // Paints the page into an image of this size (device pixels = size × ratio).
  QImage renderImage(QSize size, qreal devicePixelRatio = 1.0);
  // Acts on a click at a point of the view (the scroll offset is added): the external call of the
  // element there, if any. True when the external object was called.
  bool ClickAt(QPoint point);
  // How many images the page asked for (found or not).
  int imageRequests() const { return container_.imageRequests(); }

  // Keyboard use: the elements with an onclick attribute, in page order, can be stepped
  // through (Up/Down, Home/End, Tab/Shift+Tab) and acted on (Enter, Space) like clicks.
  // The index of the element that has the keyboard focus; -1 for none.
  int focusedClickable() const { return focusedClickable_; }
  // The border box of the focused element in page coordinates; none without one.
  std::optional<QRect> focusedRect() const;

  // The clickable elements as assistive technology sees them: each is an accessible list item
  // (child of the view's accessible list) with its readable text, place, focus and a press
  // action.
  int clickableCount() const { return static_cast<int>(Clickables().size()); }
  QString clickableText(int index) const;
  // In page coordinates; none for an index out of range.
  std::optional<QRect> clickableRect(int index) const;
  // Acts on the element as a click does; false when nothing was called.
  bool activateClickable(int index);
  // The accessible interface of a clickable element, kept until the page changes; null for an
  // index out of range.
  QAccessibleInterface* clickableInterface(int index);

 signals:
  // The view was painted (after each paint event).
  void painted();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  bool focusNextPrevChild(bool next) override;
  void resizeEvent(QResizeEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  void Layout();
  litehtml::element::ptr ElementById(const QString& id) const;
  void Draw(QPainter& painter, const QRect& clip);
  // Calls the external object for the nearest onclick handler at or above the element.
  bool Activate(litehtml::element::ptr element);
  std::vector<litehtml::element::ptr> Clickables() const;
  // Moves the keyboard focus to the clickable element at the index (clamped), scrolls it
  // into sight and names it for assistive tools.
  void FocusClickable(int index);

  // Drops the accessible interfaces of the elements of the page before.
  void ForgetAccessibleRows();

  HtmlContainer container_;
  std::vector<unsigned> accessibleRows_;  // QAccessible ids by clickable index, 0 for none
  std::shared_ptr<litehtml::document> document_;
  HtmlExternal* external_ = nullptr;
  int layoutWidth_ = 0;
  int laidOutWidth_ = -1;
  int scrollY_ = 0;
  int focusedClickable_ = -1;
};

}  // namespace tarvel
