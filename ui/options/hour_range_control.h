#pragma once

#include <QWidget>

#include <cstdint>

namespace tarvel {

// A strip of cells, one per hour (24) or per day of the week (7); a cell whose bit is set is
// "on". A click toggles a cell, a drag paints the cells it crosses with the first cell's new
// state. By keyboard, Left/Right (Home/End) move the focus cell and Space toggles it.
class HourRangeControl : public QWidget {
  Q_OBJECT

 public:
  enum class Kind {
    Hours,
    Days,
  };
  // Days: the first cell is the locale's first day of the week, given in the convention
  // 0 = Monday .. 6 = Sunday.
  explicit HourRangeControl(Kind kind, int firstDayOfWeek = 0, QWidget* parent = nullptr);

  uint32_t mask() const { return mask_; }
  void setMask(uint32_t mask);
  int cellCount() const { return cellCount_; }
  QString cellLabel(int cell) const;
  int focusCell() const { return focusCell_; }
  // The cell under a point of the widget; -1 outside the strip.
  int cellAt(QPoint point) const;
  QRect cellRect(int cell) const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 signals:
  void maskChanged(uint32_t mask);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void SetCell(int cell, bool on);
  void MoveFocus(int cell);
  void DescribeFocus();

  const Kind kind_;
  const int cellCount_;
  const int firstDayOfWeek_;
  uint32_t mask_ = 0;
  int focusCell_ = 0;
  int dragState_ = -1;  // -1 no drag, else the state the drag paints (0 off, 1 on)
};

}  // namespace tarvel
