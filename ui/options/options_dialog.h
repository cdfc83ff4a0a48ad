#pragma once

#include <QDialog>
#include <QPointer>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "ui/options/options_page.h"

class QListWidget;
class QPushButton;
class QScrollArea;
class QStackedWidget;
class QLabel;

namespace tarvel {

// The options dialog: the list of pages (general options, More Options, one page per account
// type) beside the page shown, OK and Cancel, and the link to the program's web page. It fits
// the screen's available area; a page scrolls where it does not. A page is built the first
// time it is shown; on OK every built page saves, the option word is
// written, a check starts and the mail list window follows its option. Cancel saves nothing
// (the More Options page writes as it is edited).
class OptionsDialog : public QDialog {
  Q_OBJECT

 public:
  struct Hooks {
    // Builds the page of an account type; without it the account tabs hold a notice.
    std::function<std::unique_ptr<OptionsPage>(const AccountTypeInfo& type, OptionsContext& context,
                                               QWidget* parent)>
        createAccountPage;
    // Writes the option word to the store.
    std::function<void(uint64_t flags)> saveFlags;
    // Hands the values in memory, as the dialog leaves them, to the other threads in one step.
    std::function<void()> publishSettings;
    // Applies the saved settings and starts a check at once, as the user's own request.
    std::function<void()> startCheck;
    // Opens (true) or closes the mail list window.
    std::function<void(bool show)> showMailList;
  };

  OptionsDialog(OptionsContext& context, Hooks hooks, QWidget* parent = nullptr);
  ~OptionsDialog() override;

  int pageCount() const { return static_cast<int>(kOptionsTabs.size()); }
  // The page of a tab once it was shown; null before.
  OptionsPage* page(int index) const;
  // Selects a tab, building its page on first use.
  void showPage(int index);
  QListWidget* pageList() const { return pageList_; }

  // The text of a tab.
  static QString TabLabel(const OptionsTab& tab);

  void done(int result) override;

 private:
  // Tab goes from the page list through the shown page to the link, OK and Cancel.
  void ChainTabStops();
  // Sized to its content within the screen's available area; the pages scroll in what is left.
  void FitTheScreen();

  OptionsContext& context_;
  Hooks hooks_;
  QListWidget* pageList_;
  QStackedWidget* pages_;
  QLabel* webLink_;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
  std::array<OptionsPage*, kOptionsTabs.size()> built_{};
  std::array<QScrollArea*, kOptionsTabs.size()> scrollers_{};
};

// Opens the options dialog for the program: one at a time, not modal and without a nested event
// loop (the check cycle, the tray icon and its menu go on), raised when asked for again, and gone
// with its pages when it ends.
class OptionsController {
 public:
  OptionsController(OptionsContext& context, OptionsDialog::Hooks hooks)
      : context_(context), hooks_(std::move(hooks)) {}
  ~OptionsController() { Close(); }
  OptionsController(const OptionsController&) = delete;
  OptionsController& operator=(const OptionsController&) = delete;

  void Open();
  void Close();
  OptionsDialog* dialog() const { return dialog_; }

 private:
  OptionsContext& context_;
  OptionsDialog::Hooks hooks_;
  QPointer<OptionsDialog> dialog_;
};

}  // namespace tarvel
