#include "ui/options/hour_range_control.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QKeyEvent>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QTime>

#include <algorithm>
#include <set>

namespace tarvel {

namespace {

constexpr int kCellHeightPadding = 10;
constexpr int kCellWidthPadding = 8;

// One cell, as assistive tools see it: a check box named by its hour or day.
class CellAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
 public:
  CellAccessible(HourRangeControl* strip, int cell) : strip_(strip), cell_(cell) {}

  bool isValid() const override { return strip_ && cell_ < strip_->cellCount(); }
  QObject* object() const override { return nullptr; }
  QWindow* window() const override { return strip_ ? strip_->window()->windowHandle() : nullptr; }
  QAccessibleInterface* parent() const override {
    return strip_ ? QAccessible::queryAccessibleInterface(strip_.data()) : nullptr;
  }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  QAccessibleInterface* focusChild() const override { return nullptr; }

  QString text(QAccessible::Text type) const override {
    if (!strip_)
      return {};
    switch (type) {
      case QAccessible::Name:
        return strip_->accessibleCellName(cell_);
      case QAccessible::Description:
        return strip_->accessibleName();
      default:
        return {};
    }
  }
  void setText(QAccessible::Text, const QString&) override {}
  QRect rect() const override {
    if (!strip_)
      return {};
    const QRect cell = strip_->cellRect(cell_);
    return QRect(strip_->mapToGlobal(cell.topLeft()), cell.size());
  }
  QAccessible::Role role() const override { return QAccessible::CheckBox; }
  QAccessible::State state() const override {
    QAccessible::State state;
    if (!strip_)
      return state;
    state.checkable = true;
    state.checked = strip_->isCellOn(cell_);
    state.focusable = true;
    state.focused = strip_->hasFocus() && strip_->focusCell() == cell_;
    state.invisible = !strip_->isVisible();
    state.disabled = !strip_->isEnabled();
    return state;
  }
  void* interface_cast(QAccessible::InterfaceType type) override {
    return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this)
                                                : nullptr;
  }

  QStringList actionNames() const override { return {toggleAction()}; }
  void doAction(const QString& name) override {
    if (strip_ && strip_->isEnabled() && name == toggleAction())
      strip_->setCell(cell_, !strip_->isCellOn(cell_));
  }
  QStringList keyBindingsForAction(const QString&) const override { return {}; }

 private:
  QPointer<HourRangeControl> strip_;
  const int cell_;
};

// The strip: a group of its cells, which it creates when first asked and drops with itself.
class StripAccessible : public QAccessibleWidget {
 public:
  explicit StripAccessible(HourRangeControl* strip)
      : QAccessibleWidget(strip, QAccessible::Grouping), cells_(strip->cellCount(), 0) {}
  ~StripAccessible() override {
    for (const QAccessible::Id id : cells_) {
      if (id != 0)
        QAccessible::deleteAccessibleInterface(id);
    }
  }

  int childCount() const override { return static_cast<int>(cells_.size()); }
  QAccessibleInterface* child(int index) const override {
    if (index < 0 || index >= childCount())
      return nullptr;
    QAccessible::Id& id = cells_[static_cast<std::size_t>(index)];
    if (id == 0)
      id = QAccessible::registerAccessibleInterface(new CellAccessible(strip(), index));
    return QAccessible::accessibleInterface(id);
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    for (std::size_t index = 0; index < cells_.size(); ++index) {
      if (cells_[index] != 0 && QAccessible::accessibleInterface(cells_[index]) == child)
        return static_cast<int>(index);
    }
    return -1;
  }
  QAccessibleInterface* childAt(int x, int y) const override {
    return child(strip()->cellAt(strip()->mapFromGlobal(QPoint(x, y))));
  }
  QAccessibleInterface* focusChild() const override {
    return strip()->hasFocus() ? child(strip()->focusCell()) : nullptr;
  }

 private:
  HourRangeControl* strip() const { return static_cast<HourRangeControl*>(widget()); }

  mutable std::vector<QAccessible::Id> cells_;
};

QAccessibleInterface* StripFactory(const QString& className, QObject* object) {
  if (object && object->isWidgetType() &&
      className == QLatin1String(HourRangeControl::staticMetaObject.className()))
    return new StripAccessible(static_cast<HourRangeControl*>(object));
  return nullptr;
}

// Cell 0 is the first day of the week; Qt numbers Monday 1 to Sunday 7.
int QtDay(int firstDayOfWeek, int cell) {
  return (firstDayOfWeek + cell) % 7 + 1;
}

}  // namespace

std::vector<QString> HourRangeControl::DistinctStarts(const std::vector<QString>& names) {
  qsizetype longest = 0;
  for (const QString& name : names)
    longest = std::max(longest, name.size());
  const auto start = [](const QString& name, qsizetype length) {
    // Never ends inside a surrogate pair.
    if (length < name.size() && name.at(length - 1).isHighSurrogate())
      ++length;
    return name.left(length);
  };
  for (qsizetype length = 1; length <= longest; ++length) {
    std::set<QString> seen;
    std::vector<QString> starts;
    for (const QString& name : names) {
      starts.push_back(start(name, length));
      seen.insert(starts.back().toCaseFolded());
    }
    if (seen.size() == names.size())
      return starts;
  }
  return names;
}

HourRangeControl::HourRangeControl(Kind kind, int firstDayOfWeek, QWidget* parent)
    : QWidget(parent),
      kind_(kind),
      cellCount_(kind == Kind::Hours ? 24 : 7),
      firstDayOfWeek_(std::clamp(firstDayOfWeek, 0, 6)) {
  static const bool factoryInstalled = [] {
    QAccessible::installFactory(StripFactory);
    return true;
  }();
  (void)factoryInstalled;
  setFocusPolicy(Qt::StrongFocus);
  setCursor(Qt::PointingHandCursor);
  // The height follows the width: one row of cells, or two.
  QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  policy.setHeightForWidth(true);
  setSizePolicy(policy);
  if (kind_ == Kind::Hours) {
    for (int cell = 0; cell < cellCount_; ++cell)
      labels_.push_back(QString::number(cell));
  } else {
    // The locale's short names, without the abbreviation's full stop ("seg." in Portuguese).
    std::vector<QString> names;
    for (int cell = 0; cell < cellCount_; ++cell) {
      QString name = QLocale().dayName(QtDay(firstDayOfWeek_, cell), QLocale::ShortFormat);
      if (name.size() > 1 && name.endsWith(u'.'))
        name.chop(1);
      names.push_back(name);
    }
    labels_ = DistinctStarts(names);
  }
  mask_ = (1u << cellCount_) - 1;
}

void HourRangeControl::setMask(uint32_t mask) {
  const uint32_t bounded = mask & ((1u << cellCount_) - 1);
  if (bounded == mask_)
    return;
  const uint32_t changed = bounded ^ mask_;
  mask_ = bounded;
  update();
  for (int cell = 0; cell < cellCount_; ++cell) {
    if ((changed >> cell) & 1u) {
      QAccessible::State state;
      state.checked = true;
      QAccessibleStateChangeEvent event(this, state);
      event.setChild(cell);
      QAccessible::updateAccessibility(&event);
    }
  }
  emit maskChanged(mask_);
}

bool HourRangeControl::isCellOn(int cell) const {
  return cell >= 0 && cell < cellCount_ && ((mask_ >> cell) & 1u) != 0;
}

void HourRangeControl::setCell(int cell, bool on) {
  if (cell < 0 || cell >= cellCount_)
    return;
  const uint32_t bit = 1u << cell;
  setMask(on ? (mask_ | bit) : (mask_ & ~bit));
}

QString HourRangeControl::cellLabel(int cell) const {
  if (cell < 0 || cell >= cellCount_)
    return {};
  return labels_[static_cast<std::size_t>(cell)];
}

QString HourRangeControl::accessibleCellName(int cell) const {
  if (cell < 0 || cell >= cellCount_)
    return {};
  if (kind_ == Kind::Hours)
    return QLocale().toString(QTime(cell, 0), QLocale::ShortFormat);
  return QLocale().dayName(QtDay(firstDayOfWeek_, cell), QLocale::LongFormat);
}

int HourRangeControl::CellWidth() const {
  int widest = 0;
  for (const QString& label : labels_)
    widest = std::max(widest, fontMetrics().horizontalAdvance(label));
  return widest + kCellWidthPadding;
}

int HourRangeControl::CellHeight() const {
  return fontMetrics().height() + kCellHeightPadding;
}

int HourRangeControl::RowsFor(int width) const {
  return width >= CellWidth() * cellCount_ ? 1 : 2;
}

QRect HourRangeControl::cellRect(int cell) const {
  if (cell < 0 || cell >= cellCount_)
    return {};
  const int rows = rowCount();
  const int columns = ColumnsFor(rows);
  const int row = cell / columns;
  const int column = cell % columns;
  const int left = width() * column / columns;
  const int right = width() * (column + 1) / columns;
  const int top = height() * row / rows;
  const int bottom = height() * (row + 1) / rows;
  return QRect(left, top, right - left, bottom - top);
}

int HourRangeControl::cellAt(QPoint point) const {
  if (!rect().contains(point) || width() <= 0 || height() <= 0)
    return -1;
  const int rows = rowCount();
  const int columns = ColumnsFor(rows);
  const int row = std::clamp(point.y() * rows / height(), 0, rows - 1);
  const int column = std::clamp(point.x() * columns / width(), 0, columns - 1);
  const int cell = row * columns + column;
  return cell < cellCount_ ? cell : -1;
}

QSize HourRangeControl::sizeHint() const {
  return QSize(CellWidth() * cellCount_, CellHeight());
}

QSize HourRangeControl::minimumSizeHint() const {
  // Two rows of cells where one does not fit.
  return QSize(CellWidth() * ColumnsFor(2), CellHeight());
}

int HourRangeControl::heightForWidth(int width) const {
  return CellHeight() * RowsFor(width);
}

void HourRangeControl::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  // The palette's pairs of fill and text, so that a high-contrast theme carries over.
  const QPalette::ColorGroup group = isEnabled() ? QPalette::Active : QPalette::Disabled;
  const QColor onFill = palette().color(group, QPalette::Highlight);
  const QColor onText = palette().color(group, QPalette::HighlightedText);
  const QColor offFill = palette().color(group, QPalette::Button);
  const QColor offText = palette().color(group, QPalette::ButtonText);
  const QColor grid = palette().color(group, QPalette::Mid);
  for (int cell = 0; cell < cellCount_; ++cell) {
    const QRect box = cellRect(cell);
    const bool set = isCellOn(cell);
    painter.fillRect(box, set ? onFill : offFill);
    painter.setPen(grid);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(box.adjusted(0, 0, -1, -1));
    painter.setPen(set ? onText : offText);
    painter.drawText(box, Qt::AlignCenter, cellLabel(cell));
  }
  if (hasFocus()) {
    QPen pen(palette().color(group, QPalette::WindowText), 2);
    pen.setStyle(Qt::DotLine);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(cellRect(focusCell_)).adjusted(2, 2, -2, -2));
  }
}

void HourRangeControl::MoveFocus(int cell) {
  focusCell_ = std::clamp(cell, 0, cellCount_ - 1);
  AnnounceFocus();
  update();
}

void HourRangeControl::AnnounceFocus() {
  if (!hasFocus())
    return;
  QAccessibleEvent event(this, QAccessible::Focus);
  event.setChild(focusCell_);
  QAccessible::updateAccessibility(&event);
}

void HourRangeControl::focusInEvent(QFocusEvent* event) {
  QWidget::focusInEvent(event);
  AnnounceFocus();
}

void HourRangeControl::focusOutEvent(QFocusEvent* event) {
  QWidget::focusOutEvent(event);
  update();
}

void HourRangeControl::mousePressEvent(QMouseEvent* event) {
  const int cell = cellAt(event->position().toPoint());
  if (event->button() != Qt::LeftButton || cell < 0) {
    QWidget::mousePressEvent(event);
    return;
  }
  dragState_ = isCellOn(cell) ? 0 : 1;
  dragCell_ = cell;
  MoveFocus(cell);
  setCell(cell, dragState_ == 1);
  event->accept();
}

void HourRangeControl::mouseMoveEvent(QMouseEvent* event) {
  if (dragState_ < 0)
    return;
  const int cell = cellAt(event->position().toPoint());
  if (cell >= 0) {
    // A fast drag skips cells between two moves: every cell between them is painted too.
    uint32_t mask = mask_;
    const int from = dragCell_ < 0 ? cell : std::min(dragCell_, cell);
    const int to = dragCell_ < 0 ? cell : std::max(dragCell_, cell);
    for (int between = from; between <= to; ++between) {
      if (dragState_ == 1)
        mask |= 1u << between;
      else
        mask &= ~(1u << between);
    }
    dragCell_ = cell;
    MoveFocus(cell);
    setMask(mask);
  }
  event->accept();
}

void HourRangeControl::mouseReleaseEvent(QMouseEvent* event) {
  dragState_ = -1;
  dragCell_ = -1;
  event->accept();
}

void HourRangeControl::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Left:
      MoveFocus(focusCell_ - 1);
      break;
    case Qt::Key_Right:
      MoveFocus(focusCell_ + 1);
      break;
    case Qt::Key_Home:
      MoveFocus(0);
      break;
    case Qt::Key_End:
      MoveFocus(cellCount_ - 1);
      break;
    case Qt::Key_Space:
      setCell(focusCell_, !isCellOn(focusCell_));
      break;
    default:
      QWidget::keyPressEvent(event);
      return;
  }
  event->accept();
}

}  // namespace tarvel
