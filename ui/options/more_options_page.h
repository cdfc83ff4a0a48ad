#pragma once

#include "ui/options/options_page.h"

class QTableWidget;
class QTableWidgetItem;

namespace tarvel {

// The additional raw settings as a list of key and value; a value edited in place is parsed
// by its row's form and written at once (so Cancel does not take it back). A text that does
// not parse leaves the setting as it was.
class MoreOptionsPage : public OptionsPage {
  Q_OBJECT

 public:
  MoreOptionsPage(OptionsContext& context, QWidget* parent = nullptr);

  // Everything was written when it was edited.
  void Save() override {}

  QTableWidget* table() const { return table_; }

 private:
  void OnItemChanged(QTableWidgetItem* item);
  void ShowRow(int row);

  OptionsContext& context_;
  QTableWidget* table_;
  bool filling_ = false;
};

}  // namespace tarvel
