#include "ui/options/more_options_page.h"

#include <QHeaderView>
#include <QTableWidget>
#include <QVBoxLayout>

#include <string>

#include "accounts/global_settings.h"
#include "accounts/more_options_table.h"
#include "ui/adapters/qt_text.h"

namespace tarvel {

MoreOptionsPage::MoreOptionsPage(OptionsContext& context, QWidget* parent)
    : OptionsPage(parent), context_(context), table_(new QTableWidget(this)) {
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(table_);
  table_->setAccessibleName(tr("More Options"));
  table_->setColumnCount(2);
  table_->setHorizontalHeaderLabels({tr("Key"), tr("Value")});
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->verticalHeader()->setVisible(false);
  table_->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 8);
  table_->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                          QAbstractItemView::SelectedClicked | QAbstractItemView::AnyKeyPressed);
  // The keys as wide as the longest; the values get the rest.
  table_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->setRowCount(static_cast<int>(kMoreOptionsTable.size()));
  filling_ = true;
  for (int row = 0; row < table_->rowCount(); ++row) {
    auto* key =
        new QTableWidgetItem(ToQString(kMoreOptionsTable[static_cast<std::size_t>(row)].name));
    key->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    table_->setItem(row, 0, key);
    table_->setItem(row, 1, new QTableWidgetItem);
    ShowRow(row);
  }
  filling_ = false;
  connect(table_, &QTableWidget::itemChanged, this, &MoreOptionsPage::OnItemChanged);
  // The keyboard works in the value column: the current cell moves to the row's value, where
  // typing or F2 starts editing it.
  connect(table_, &QTableWidget::currentCellChanged, this, [this](int row, int column) {
    if (row >= 0 && column != 1)
      table_->setCurrentCell(row, 1);
  });
  table_->setCurrentCell(0, 1);
  // The arrows move between rows; Tab leaves the table for the next control.
  table_->setTabKeyNavigation(false);
}

void MoreOptionsPage::ShowRow(int row) {
  const bool wasFilling = filling_;
  filling_ = true;
  const Text shown = FormatMoreOption(kMoreOptionsTable[static_cast<std::size_t>(row)],
                                      *context_.store, *context_.globals);
  table_->item(row, 1)->setText(ToQString(shown.view()));
  filling_ = wasFilling;
}

void MoreOptionsPage::OnItemChanged(QTableWidgetItem* item) {
  if (filling_ || !item || item->column() != 1)
    return;
  const int row = item->row();
  if (row < 0 || row >= static_cast<int>(kMoreOptionsTable.size()))
    return;
  const MoreOptionRow& option = kMoreOptionsTable[static_cast<std::size_t>(row)];
  const Text typed = ToText(item->text());
  if (!(FormatMoreOption(option, *context_.store, *context_.globals) == typed.view()))
    ApplyMoreOption(option, typed, *context_.store, *context_.globals);
  // The cell shows the value as it is now, formatted anew.
  ShowRow(row);
}

}  // namespace tarvel
