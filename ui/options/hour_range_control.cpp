#include "ui/options/hour_range_control.h"

#include <QKeyEvent>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

namespace tarvel {

namespace {

constexpr QRgb kOffColor = 0xFFC8C8C8;
constexpr int kCellHeightPadding = 10;

}  // namespace

HourRangeControl::HourRangeControl(Kind kind, int firstDayOfWeek, QWidget* parent)
    : QWidget(parent),
      kind_(kind),
      cellCount_(kind == Kind::Hours ? 24 : 7),
      firstDayOfWeek_(std::clamp(firstDayOfWeek, 0, 6)) {
  setFocusPolicy(Qt::StrongFocus);
  setCursor(Qt::PointingHandCursor);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  mask_ = (1u << cellCount_) - 1;
  DescribeFocus();
}

void HourRangeControl::setMask(uint32_t mask) {
  const uint32_t bounded = mask & ((1u << cellCount_) - 1);
  if (bounded == mask_)
    return;
  mask_ = bounded;
  DescribeFocus();
  update();
  emit maskChanged(mask_);
}

QString HourRangeControl::cellLabel(int cell) const {
  if (kind_ == Kind::Hours)
    return QString::number(cell);
  // Cell 0 is the first day of the week; Qt numbers Monday 1 to Sunday 7.
  const int qtDay = (firstDayOfWeek_ + cell) % 7 + 1;
  return QLocale().dayName(qtDay, QLocale::ShortFormat).left(2);
}

QRect HourRangeControl::cellRect(int cell) const {
  const int left = width() * cell / cellCount_;
  const int right = width() * (cell + 1) / cellCount_;
  return QRect(left, 0, right - left, height());
}

int HourRangeControl::cellAt(QPoint point) const {
  if (!rect().contains(point) || width() <= 0)
    return -1;
  return std::clamp(point.x() * cellCount_ / width(), 0, cellCount_ - 1);
}

QSize HourRangeControl::sizeHint() const {
  const QFontMetrics metrics = fontMetrics();
  int widest = 0;
  for (int cell = 0; cell < cellCount_; ++cell)
    widest = std::max(widest, metrics.horizontalAdvance(cellLabel(cell)));
  return QSize((widest + 8) * cellCount_, metrics.height() + kCellHeightPadding);
}

QSize HourRangeControl::minimumSizeHint() const {
  return sizeHint();
}

void HourRangeControl::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QColor on = palette().color(QPalette::Highlight);
  for (int cell = 0; cell < cellCount_; ++cell) {
    const QRect box = cellRect(cell);
    const bool set = (mask_ >> cell) & 1u;
    painter.fillRect(box, set ? on : QColor::fromRgb(kOffColor));
    painter.setPen(palette().color(QPalette::Base));
    painter.drawLine(box.topRight(), box.bottomRight());
    painter.setPen(set ? palette().color(QPalette::HighlightedText) : QColor(Qt::black));
    painter.drawText(box, Qt::AlignCenter, cellLabel(cell));
  }
  if (hasFocus()) {
    QPen pen(palette().color(QPalette::WindowText), 2);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(cellRect(focusCell_)).adjusted(1, 1, -1, -1));
  }
}

void HourRangeControl::SetCell(int cell, bool on) {
  if (cell < 0 || cell >= cellCount_)
    return;
  const uint32_t bit = 1u << cell;
  setMask(on ? (mask_ | bit) : (mask_ & ~bit));
}

void HourRangeControl::MoveFocus(int cell) {
  focusCell_ = std::clamp(cell, 0, cellCount_ - 1);
  DescribeFocus();
  update();
}

void HourRangeControl::DescribeFocus() {
  // Assistive tools read the focus cell and its state.
  const bool set = (mask_ >> focusCell_) & 1u;
  setAccessibleDescription(
      tr("%1: %2").arg(cellLabel(focusCell_), set ? tr("checked") : tr("not checked")));
}

void HourRangeControl::mousePressEvent(QMouseEvent* event) {
  const int cell = cellAt(event->position().toPoint());
  if (event->button() != Qt::LeftButton || cell < 0) {
    QWidget::mousePressEvent(event);
    return;
  }
  dragState_ = ((mask_ >> cell) & 1u) ? 0 : 1;
  MoveFocus(cell);
  SetCell(cell, dragState_ == 1);
  event->accept();
}

void HourRangeControl::mouseMoveEvent(QMouseEvent* event) {
  if (dragState_ < 0)
    return;
  const int cell = cellAt(event->position().toPoint());
  if (cell >= 0) {
    MoveFocus(cell);
    SetCell(cell, dragState_ == 1);
  }
  event->accept();
}

void HourRangeControl::mouseReleaseEvent(QMouseEvent* event) {
  dragState_ = -1;
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
      SetCell(focusCell_, ((mask_ >> focusCell_) & 1u) == 0);
      break;
    default:
      QWidget::keyPressEvent(event);
      return;
  }
  event->accept();
}

}  // namespace tarvel
