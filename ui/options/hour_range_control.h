#pragma once

#include <QString>
#include <QWidget>

#include <cstdint>
#include <vector>

namespace tarvel {

// A strip of cells, one per hour (24) or per day of the week (7); a cell whose bit is set is
// "on". A click toggles a cell, a drag paints the cells it crosses with the first cell's new
// state. By keyboard, Left/Right (Home/End) move the focus cell and Space toggles it. Where the
// strip is too narrow for one row of cells it wraps into two. Assistive tools see each cell as
// a check box of its own, with its label and state.
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
  bool isCellOn(int cell) const;
  // Turns a cell on or off, as a click or Space does.
  void setCell(int cell, bool on);
  int cellCount() const { return cellCount_; }
  QString cellLabel(int cell) const;
  // What assistive tools call a cell: the hour as the locale writes a time ("03:00"), the
  // day by its whole name.
  QString accessibleCellName(int cell) const;
  int focusCell() const { return focusCell_; }
  // The cell under a point of the widget; -1 outside the strip.
  int cellAt(QPoint point) const;
  QRect cellRect(int cell) const;
  // The rows the cells take at the current width (1, or 2 when one row does not fit).
  int rowCount() const { return RowsFor(width()); }

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;

  // The shortest starts of the names that still tell them apart (at least one character each,
  // the whole name where a start does not): "Mo", "Tu" ... in English, "seg", "ter", "qua",
  // "qui" ... in Portuguese.
  static std::vector<QString> DistinctStarts(const std::vector<QString>& names);

 signals:
  void maskChanged(uint32_t mask);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void MoveFocus(int cell);
  void AnnounceFocus();
  int CellWidth() const;
  int CellHeight() const;
  int RowsFor(int width) const;
  int ColumnsFor(int rows) const { return (cellCount_ + rows - 1) / rows; }

  const Kind kind_;
  const int cellCount_;
  const int firstDayOfWeek_;
  std::vector<QString> labels_;
  uint32_t mask_ = 0;
  int focusCell_ = 0;
  int dragState_ = -1;  // -1 no drag, else the state the drag paints (0 off, 1 on)
  int dragCell_ = -1;   // the last cell the drag painted
};

}  // namespace tarvel
