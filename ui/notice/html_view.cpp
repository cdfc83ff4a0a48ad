#include "ui/notice/html_view.h"

#include <QAccessibleWidget>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QWheelEvent>

#include "ui/notice/external_call.h"

namespace tarvel {

namespace {

// litehtml ships no default style sheet; this one gives the elements the pages use their
// usual display.
constexpr char kMasterStyleSheet[] = R"css(
html, body, div, p, h1, h2, h3, h4, h5, h6, ul, ol, li, center, form, blockquote { display: block; }
head, style, script, title, meta, link, noscript, iframe, object, embed { display: none; }
html { position: relative; }
p { margin-top: 1em; margin-bottom: 1em; }
span, a, font, small, big { display: inline; }
b, strong { font-weight: bold; }
i, em { font-style: italic; }
u { text-decoration: underline; }
a { color: #0000ff; text-decoration: underline; }
br, img { display: inline-block; }
table { display: table; border-collapse: separate; border-spacing: 0; }
tbody, thead, tfoot { display: table-row-group; vertical-align: middle; }
tr { display: table-row; vertical-align: inherit; }
td, th { display: table-cell; vertical-align: inherit; padding: 1px; }
th { font-weight: bold; }
)css";

// One context for every document; it must outlive them.
litehtml::context& SharedContext() {
  static litehtml::context context;
  static const bool loaded = [] {
    context.load_master_stylesheet(kMasterStyleSheet);
    return true;
  }();
  (void)loaded;
  return context;
}

// The border box of an element in page coordinates.
QRect BorderBox(const litehtml::element::ptr& element) {
  const litehtml::position content = element->get_placement();
  const litehtml::margins borders = element->get_borders();
  const litehtml::margins paddings = element->get_paddings();
  return QRect(content.x - paddings.left - borders.left, content.y - paddings.top - borders.top,
               content.width + paddings.width() + borders.width(),
               content.height + paddings.height() + borders.height());
}

// The area an element covers on the page: its border box, or for a table row (which
// litehtml does not give a box of its own) the boxes of its cells.
QRect CoveredArea(const litehtml::element::ptr& element) {
  const QRect box = BorderBox(element);
  if (!box.isEmpty())
    return box;
  QRect cells;
  for (std::size_t index = 0; index < element->get_children_count(); ++index) {
    if (const litehtml::element::ptr child = element->get_child(static_cast<int>(index)))
      cells |= BorderBox(child);
  }
  return cells;
}

// Gathers the texts of an element's cells and blocks as separate parts; inline runs within one
// block stay one part.
void CollectReadableParts(const litehtml::element::ptr& element, std::vector<QString>& parts) {
  const std::size_t count = element->get_children_count();
  if (count == 0) {
    litehtml::tstring text;
    element->get_text(text);
    if (parts.empty())
      parts.emplace_back();
    parts.back() += QString::fromStdString(text);
    return;
  }
  if (element->get_display() == litehtml::display_none)
    return;
  const litehtml::style_display display = element->get_display();
  const bool separate = display != litehtml::display_inline &&
                        display != litehtml::display_inline_block &&
                        display != litehtml::display_inline_text;
  if (separate)
    parts.emplace_back();
  for (std::size_t index = 0; index < count; ++index) {
    if (const litehtml::element::ptr child = element->get_child(static_cast<int>(index)))
      CollectReadableParts(child, parts);
  }
  if (separate)
    parts.emplace_back();
}

// A clickable element of an HtmlView: a list item with its readable text and a press action.
class HtmlRowAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
 public:
  HtmlRowAccessible(HtmlView* view, int index) : view_(view), index_(index) {}

  bool isValid() const override { return view_ && index_ < view_->clickableCount(); }
  QObject* object() const override { return nullptr; }
  QWindow* window() const override { return view_ ? view_->window()->windowHandle() : nullptr; }
  QAccessibleInterface* parent() const override {
    return view_ ? QAccessible::queryAccessibleInterface(view_) : nullptr;
  }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  QString text(QAccessible::Text kind) const override {
    return kind == QAccessible::Name && isValid() ? view_->clickableText(index_) : QString();
  }
  void setText(QAccessible::Text, const QString&) override {}
  QRect rect() const override {
    if (!isValid())
      return {};
    const std::optional<QRect> box = view_->clickableRect(index_);
    if (!box)
      return {};
    return QRect(view_->mapToGlobal(box->topLeft() - QPoint(0, view_->scrollY())), box->size());
  }
  QAccessible::Role role() const override { return QAccessible::ListItem; }
  QAccessible::State state() const override {
    QAccessible::State state;
    if (!isValid()) {
      state.invalid = true;
      return state;
    }
    state.focusable = true;
    state.selectable = true;
    const bool current = view_->focusedClickable() == index_;
    state.selected = current;
    state.focused = current && view_->hasFocus();
    const std::optional<QRect> box = view_->clickableRect(index_);
    state.offscreen = !box || box->bottom() < view_->scrollY() ||
                      box->top() >= view_->scrollY() + view_->height();
    return state;
  }
  void* interface_cast(QAccessible::InterfaceType type) override {
    return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this)
                                                : nullptr;
  }
  QStringList actionNames() const override { return {pressAction()}; }
  void doAction(const QString& name) override {
    if (name == pressAction() && isValid())
      view_->activateClickable(index_);
  }
  QStringList keyBindingsForAction(const QString&) const override { return {}; }

 private:
  QPointer<HtmlView> view_;
  int index_;
};

// The view as a list of its clickable elements.
class HtmlViewAccessible : public QAccessibleWidget {
 public:
  explicit HtmlViewAccessible(HtmlView* view) : QAccessibleWidget(view, QAccessible::List) {}

  HtmlView* view() const { return static_cast<HtmlView*>(widget()); }
  int childCount() const override { return view()->clickableCount(); }
  QAccessibleInterface* child(int index) const override {
    return view()->clickableInterface(index);
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    for (int index = 0; index < childCount(); ++index) {
      if (view()->clickableInterface(index) == child)
        return index;
    }
    return -1;
  }
  QAccessibleInterface* focusChild() const override {
    return view()->hasFocus() ? view()->clickableInterface(view()->focusedClickable()) : nullptr;
  }
  QAccessibleInterface* childAt(int x, int y) const override {
    for (int index = 0; index < childCount(); ++index) {
      QAccessibleInterface* row = view()->clickableInterface(index);
      if (row && row->rect().contains(x, y))
        return row;
    }
    return nullptr;
  }
};

QAccessibleInterface* HtmlViewAccessibleFactory(const QString& key, QObject* object) {
  if (key == QLatin1String("tarvel::HtmlView") && object && object->isWidgetType())
    return new HtmlViewAccessible(static_cast<HtmlView*>(object));
  return nullptr;
}

}  // namespace

QString ReadableText(const litehtml::element::ptr& element) {
  if (!element)
    return {};
  std::vector<QString> parts;
  CollectReadableParts(element, parts);
  QStringList shown;
  for (const QString& part : parts) {
    const QString simplified = part.simplified();
    if (!simplified.isEmpty())
      shown << simplified;
  }
  return shown.join(u", "_qs);
}

HtmlView::HtmlView(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  static const bool factoryInstalled = [] {
    QAccessible::installFactory(HtmlViewAccessibleFactory);
    return true;
  }();
  (void)factoryInstalled;
}

HtmlView::~HtmlView() {
  ForgetAccessibleRows();
  // The document's fonts are freed through the container, so it goes first.
  document_.reset();
}

void HtmlView::setDpiFactor(double factor) {
  container_.setDpiFactor(factor);
}

void HtmlView::setLayoutWidth(int width) {
  layoutWidth_ = std::max(width, 0);
  Layout();
}

void HtmlView::ForgetAccessibleRows() {
  for (const unsigned id : accessibleRows_) {
    if (id != 0)
      QAccessible::deleteAccessibleInterface(id);
  }
  accessibleRows_.clear();
}

QString HtmlView::clickableText(int index) const {
  const std::vector<litehtml::element::ptr> clickables = Clickables();
  if (index < 0 || index >= static_cast<int>(clickables.size()))
    return {};
  return ReadableText(clickables[static_cast<std::size_t>(index)]);
}

std::optional<QRect> HtmlView::clickableRect(int index) const {
  const std::vector<litehtml::element::ptr> clickables = Clickables();
  if (index < 0 || index >= static_cast<int>(clickables.size()))
    return std::nullopt;
  return CoveredArea(clickables[static_cast<std::size_t>(index)]);
}

bool HtmlView::activateClickable(int index) {
  const std::vector<litehtml::element::ptr> clickables = Clickables();
  if (index < 0 || index >= static_cast<int>(clickables.size()))
    return false;
  return Activate(clickables[static_cast<std::size_t>(index)]);
}

QAccessibleInterface* HtmlView::clickableInterface(int index) {
  if (index < 0 || index >= clickableCount())
    return nullptr;
  if (accessibleRows_.size() <= static_cast<std::size_t>(index))
    accessibleRows_.resize(static_cast<std::size_t>(index) + 1, 0);
  unsigned& id = accessibleRows_[static_cast<std::size_t>(index)];
  if (id == 0)
    id = QAccessible::registerAccessibleInterface(new HtmlRowAccessible(this, index));
  return QAccessible::accessibleInterface(id);
}

bool HtmlView::setPageText(const QByteArray& html) {
  ForgetAccessibleRows();
  document_.reset();
  laidOutWidth_ = -1;
  scrollY_ = 0;
  // A reloaded page keeps the focus on the element at the same place in the list.
  const int keptFocus = focusedClickable_;
  focusedClickable_ = -1;
  document_ = litehtml::document::createFromUTF8(html.constData(), &container_, &SharedContext());
  if (!document_) {
    setAccessibleDescription({});
    return false;
  }
  Layout();
  if (keptFocus >= 0)
    FocusClickable(keptFocus);
  update();
  return true;
}

void HtmlView::Layout() {
  if (!document_)
    return;
  const int width = layoutWidth_ > 0 ? layoutWidth_ : std::max(this->width(), 1);
  if (width == laidOutWidth_)
    return;
  container_.setClientSize(width, std::max(height(), 1));
  document_->render(width);
  laidOutWidth_ = width;
}

litehtml::element::ptr HtmlView::ElementById(const QString& id) const {
  if (!document_ || id.isEmpty())
    return nullptr;
  // Only plain ids are looked up, so no selector syntax can be slipped in.
  for (QChar character : id) {
    if (!character.isLetterOrNumber() && character != u'_' && character != u'-')
      return nullptr;
  }
  return document_->root()->select_one("[id=\"" + id.toStdString() + "\"]");
}

QString HtmlView::elementText(const QString& id) const {
  const litehtml::element::ptr element = ElementById(id);
  if (!element)
    return {};
  litehtml::tstring text;
  element->get_text(text);
  return QString::fromStdString(text);
}

int HtmlView::elementCount(const QString& tagName) const {
  if (!document_ || tagName.isEmpty())
    return 0;
  for (QChar character : tagName) {
    if (!character.isLetterOrNumber())
      return 0;
  }
  return static_cast<int>(document_->root()->select_all(tagName.toStdString()).size());
}

std::optional<QRect> HtmlView::elementRect(const QString& id) const {
  const litehtml::element::ptr element = ElementById(id);
  if (!element)
    return std::nullopt;
  return BorderBox(element);
}

std::optional<QSize> HtmlView::elementSize(const QString& id) const {
  const std::optional<QRect> rect = elementRect(id);
  if (!rect)
    return std::nullopt;
  return rect->size();
}

QSize HtmlView::pageSize() const {
  return document_ ? QSize(document_->width(), document_->height()) : QSize();
}

void HtmlView::setScrollY(int offset) {
  const int limit = document_ ? std::max(document_->height() - height(), 0) : 0;
  const int clamped = std::clamp(offset, 0, limit);
  if (clamped == scrollY_)
    return;
  scrollY_ = clamped;
  update();
}

void HtmlView::Draw(QPainter& painter, const QRect& clip) {
  container_.setPainter(&painter);
  const litehtml::position area(clip.x(), clip.y(), clip.width(), clip.height());
  document_->draw(reinterpret_cast<litehtml::uint_ptr>(&painter), 0, -scrollY_, &area);
  container_.setPainter(nullptr);
}

QImage HtmlView::renderImage(QSize size, qreal devicePixelRatio) {
  QImage image(size * devicePixelRatio, QImage::Format_ARGB32_Premultiplied);
  image.setDevicePixelRatio(devicePixelRatio);
  image.fill(Qt::white);
  if (document_) {
    QPainter painter(&image);
    Draw(painter, QRect(QPoint(0, 0), size));
  }
  return image;
}

bool HtmlView::ClickAt(QPoint point) {
  if (!document_ || !external_)
    return false;
  return Activate(document_->root()->get_element_by_point(point.x(), point.y() + scrollY_,
                                                          point.x(), point.y()));
}

bool HtmlView::Activate(litehtml::element::ptr element) {
  if (!external_)
    return false;
  for (; element; element = element->parent()) {
    const char* onclick = element->get_attr("onclick");
    if (!onclick)
      continue;
    // The nearest handler decides, even when it is not a call we know.
    const std::optional<ExternalCall> call = ParseExternalCall(onclick);
    if (!call)
      return false;
    if (call->method == ExternalCall::Method::Close)
      external_->Close();
    else
      external_->Open(call->argument);
    return true;
  }
  return false;
}

void HtmlView::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  painter.fillRect(event->rect(), palette().color(QPalette::Base));
  if (document_)
    Draw(painter, event->rect());
  if (hasFocus()) {
    if (const std::optional<QRect> focused = focusedRect()) {
      // A frame in the highlight colour inside the element's box marks the focused row.
      QPen pen(palette().color(QPalette::Highlight), 2);
      pen.setJoinStyle(Qt::MiterJoin);
      painter.setPen(pen);
      painter.setBrush(Qt::NoBrush);
      painter.drawRect(QRectF(focused->translated(0, -scrollY_)).adjusted(1, 1, -1, -1));
    }
  }
  painter.end();
  emit painted();
}

void HtmlView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
    ClickAt(event->position().toPoint());
  QWidget::mouseReleaseEvent(event);
}

std::vector<litehtml::element::ptr> HtmlView::Clickables() const {
  if (!document_)
    return {};
  return document_->root()->select_all(litehtml::tstring("[onclick]"));
}

std::optional<QRect> HtmlView::focusedRect() const {
  const std::vector<litehtml::element::ptr> clickables = Clickables();
  if (focusedClickable_ < 0 || focusedClickable_ >= static_cast<int>(clickables.size()))
    return std::nullopt;
  return CoveredArea(clickables[static_cast<std::size_t>(focusedClickable_)]);
}

void HtmlView::FocusClickable(int index) {
  const std::vector<litehtml::element::ptr> clickables = Clickables();
  if (clickables.empty()) {
    focusedClickable_ = -1;
    setAccessibleDescription({});
    update();
    return;
  }
  focusedClickable_ = std::clamp(index, 0, static_cast<int>(clickables.size()) - 1);
  const litehtml::element::ptr& element = clickables[static_cast<std::size_t>(focusedClickable_)];
  const QRect box = CoveredArea(element);
  if (box.top() < scrollY_)
    setScrollY(box.top());
  else if (box.bottom() >= scrollY_ + height())
    setScrollY(box.bottom() + 1 - height());
  setAccessibleDescription(ReadableText(element));
  if (hasFocus()) {
    // The row is a child of the view's accessible list: a screen reader follows it.
    QAccessibleEvent event(this, QAccessible::Focus);
    event.setChild(focusedClickable_);
    QAccessible::updateAccessibility(&event);
  }
  update();
}

void HtmlView::keyPressEvent(QKeyEvent* event) {
  const int count = static_cast<int>(Clickables().size());
  if (count == 0) {
    QWidget::keyPressEvent(event);
    return;
  }
  switch (event->key()) {
    case Qt::Key_Down:
      FocusClickable(focusedClickable_ + 1);
      break;
    case Qt::Key_Up:
      FocusClickable(focusedClickable_ < 0 ? count - 1 : focusedClickable_ - 1);
      break;
    case Qt::Key_Home:
      FocusClickable(0);
      break;
    case Qt::Key_End:
      FocusClickable(count - 1);
      break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
      if (focusedClickable_ >= 0)
        Activate(Clickables()[static_cast<std::size_t>(focusedClickable_)]);
      break;
    default:
      QWidget::keyPressEvent(event);
      return;
  }
  event->accept();
}

void HtmlView::focusInEvent(QFocusEvent* event) {
  // Tabbing in starts at the first element, tabbing back in at the last.
  if (event->reason() == Qt::TabFocusReason)
    FocusClickable(0);
  else if (event->reason() == Qt::BacktabFocusReason)
    FocusClickable(static_cast<int>(Clickables().size()) - 1);
  QWidget::focusInEvent(event);
  update();
}

void HtmlView::focusOutEvent(QFocusEvent* event) {
  QWidget::focusOutEvent(event);
  update();
}

bool HtmlView::focusNextPrevChild(bool next) {
  // Tab steps through the clickable elements first, and leaves the view after the last.
  const int count = static_cast<int>(Clickables().size());
  const int target =
      focusedClickable_ < 0 ? (next ? 0 : count - 1) : focusedClickable_ + (next ? 1 : -1);
  if (hasFocus() && target >= 0 && target < count) {
    FocusClickable(target);
    return true;
  }
  return QWidget::focusNextPrevChild(next);
}

void HtmlView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (layoutWidth_ == 0)
    Layout();
  setScrollY(scrollY_);
}

void HtmlView::wheelEvent(QWheelEvent* event) {
  // Three lines of the default font per notch, as a browser scrolls.
  const int notchPixels = 3 * container_.get_default_font_size() * 14 / 10;
  setScrollY(scrollY_ - event->angleDelta().y() * notchPixels / 120);
  event->accept();
}

}  // namespace tarvel
