#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "ui/notice/html_view.h"

namespace tarvel {

class SettingsStore;

// How the window is made, read when it is created.
struct MailListWindowOptions {
  bool showInTaskbar = false;  // MailListShowInTaskbar is non-zero
  bool topMost = false;        // MailListTopMost is non-zero
};

// The group of the settings store that keeps the window's placement.
inline constexpr std::u16string_view kMailListPlacementGroup = u"MailList";
// The placement is stored this long after the last move or resize.
inline constexpr int kMailListPlacementDelayMs = 1000;
// A click on a row checks again this long after the readers were opened.
inline constexpr uint32_t kMailListCheckAfterReadersMs = 10'000;

// The resizable window that lists every unread mail: the mail list page in an HtmlView. A
// click on a row opens that row's reader; the placement is kept in the settings store.
class MailListWindow : public QWidget, public HtmlExternal {
  Q_OBJECT

 public:
  struct Hooks {
    // The readers of the account types in the mask.
    std::function<void(uint32_t typeMask)> openReaders;
    // Restarts the check timer with this many milliseconds.
    std::function<void(uint32_t delayMs)> restartCheckTimer;
    // The user closed the window: the option that shows it goes off and is saved.
    std::function<void()> closedByUser;
    // The last mail list page built.
    std::function<std::string()> page;
    // The window's screen has this DPI factor (at the start and after each move to another
    // screen): the page is to be built for it, and then reloaded.
    std::function<void(double factor)> dpiFactorChanged;
  };

  MailListWindow(Hooks hooks, SettingsStore& store, MailListWindowOptions options);
  ~MailListWindow() override;

  // "Tarvel E-Mail Notifier [major.minor]", the minor with two digits.
  static QString Title();

  // Loads the last page built into the view.
  void ReloadPage();
  // Writes the window's geometry to the store now.
  void StorePlacement();
  // Whether a move or resize waits to be stored.
  bool placementPending() const { return placementTimer_.isActive(); }

  HtmlView* view() { return view_; }
  // The DPI factor of the screen the window is on, as the page was last asked to use.
  double dpiFactor() const { return dpiFactor_; }

  // HtmlExternal: a row's Open(typeBit); everything else is not handled.
  void Open(std::optional<uint32_t> argument) override;
  void Close() override {}

 protected:
  void showEvent(QShowEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void RestorePlacement();
  void PlacementChanged();
  // Follows the factor of the window's screen.
  void FollowScreen();

  Hooks hooks_;
  SettingsStore& store_;
  HtmlView* view_;
  QTimer placementTimer_;
  double dpiFactor_ = 0;
  bool screenWatched_ = false;
  bool restoring_ = false;
};

// Creates and destroys the mail list window on the main thread and reloads its page when a
// check built a new one.
class MailListController : public QObject {
  Q_OBJECT

 public:
  MailListController(MailListWindow::Hooks hooks, SettingsStore& store,
                     std::function<MailListWindowOptions()> options, QObject* parent = nullptr);
  ~MailListController() override;

  // Creates and shows the window unless it is open.
  void Open();
  // Destroys the window, if open; the option stays as it is.
  void Close();
  // Any thread: the window reloads its page on the main thread (the list's reload message).
  void PostReload();

  MailListWindow* window() const { return window_; }

 signals:
  // The window was created and shown.
  void opened(tarvel::MailListWindow* window);

 private:
  void Reload();

  MailListWindow::Hooks hooks_;
  SettingsStore& store_;
  std::function<MailListWindowOptions()> options_;
  QPointer<MailListWindow> window_;
};

}  // namespace tarvel
