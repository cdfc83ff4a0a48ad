#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <vector>

#include "app/check_notifier.h"
#include "app/desktop_services.h"
#include "ui/tray/tray_clicks.h"
#include "ui/tray/tray_icon_composer.h"
#include "ui/tray/tray_icon_images.h"
#include "ui/tray/tray_menu.h"

class QMenu;

namespace tarvel {

class RunningApplication;
class Clock;
class TrayIcon;

// What the tray reads of the settings once they are loaded.
struct TraySettings {
  uint32_t alternatingShellIcon = 0;  // milliseconds between the two pictures; 0 = off
  bool soundConfigured = false;
  QString pictureFolder;  // where the custom pictures are looked for, ending with "/"
};

// The tray parts of the desktop services: the icon with its composed pictures, tooltip,
// menu, clicks and alternation. Everything else goes on to `next`, and so do the readers the
// tray opens. Lives on the GUI thread; only UpdateTray is called from the check thread.
class TrayServices : public QObject, public DesktopServices {
  Q_OBJECT

 public:
  TrayServices(DesktopServices& next, Clock& clock, std::function<TraySettings()> settings);
  ~TrayServices() override;

  // The application whose state the tray shows; set before its start-up runs.
  void Attach(RunningApplication& application);
  // Stops a playing new-mail sound; none until a sound player is attached.
  void setStopSound(std::function<void()> stopSound) { stopSound_ = std::move(stopSound); }

  // At the end of a check, on the check thread: composes what the tray is to show and hands
  // it to the GUI thread.
  void UpdateTray(uint32_t totalCount, const Text& allMailText, CheckStatus status);

  void AddTrayIcon() override;
  void RemoveTrayIcon() override;
  void OnTrayCallback(uintptr_t iconId, intptr_t event) override;
  void AlternateTrayIcon() override;

  // The tray icon's own message, for desktops without a notification server.
  void ShowMessage(const QString& title, const QString& text, int timeoutMs);
  // The icon as the tray shows it now, drawn at `size` pixels square.
  QImage CurrentIconImage(int size) const;

  void PrepareProblemReports() override { next_.PrepareProblemReports(); }
  void RestoreCookies(AccountTypeList& accounts) override { next_.RestoreCookies(accounts); }
  void StartUpdateCheck(bool portable) override { next_.StartUpdateCheck(portable); }
  void OpenOptions() override { next_.OpenOptions(); }
  void CloseOptions() override { next_.CloseOptions(); }
  void OpenMailList() override { next_.OpenMailList(); }
  void CloseMailList() override { next_.CloseMailList(); }
  void ClosePopup() override { next_.ClosePopup(); }
  void ShowNewMailPopup() override { next_.ShowNewMailPopup(); }
  intptr_t OnNotesRequest(uintptr_t first, intptr_t second) override {
    return next_.OnNotesRequest(first, second);
  }
  void OpenReaders(uint32_t typeMask) override { next_.OpenReaders(typeMask); }

  // For tests and screenshots: the menu as it stands and the current icon.
  QMenu* menu() const { return menu_.get(); }
  const TrayIconComposition& composition() const { return composition_; }
  const TrayIconImages& images() const { return images_; }
  bool showingAlternate() const { return showingAlternate_; }

 private:
  void ApplyUpdate(const TrayIconComposition& composition, const Text& tip,
                   std::vector<TrayMenuAccount> accounts);
  // Flips or clears the alternation phase, then shows the picture of the phase.
  void RestartAlternation();
  void ShowPhase();
  void RefreshMenu();
  std::vector<TrayMenuAccount> AccountsForMenu(bool withNames) const;

  DesktopServices& next_;
  Clock& clock_;
  std::function<TraySettings()> readSettings_;
  std::function<void()> stopSound_;
  RunningApplication* application_ = nullptr;

  TraySettings settings_;
  TrayIconImages images_;
  CustomTrayPictures pictures_;  // fixed before the first check starts
  std::unique_ptr<TrayIcon> icon_;
  std::unique_ptr<QMenu> menu_;
  std::vector<TrayMenuItem> shownMenu_;
  std::vector<TrayMenuAccount> accountNames_;
  TrayIconComposition composition_;
  bool showingAlternate_ = false;
  TrayClickHandler clicks_;
};

// The tray's share of a check: the tray update.
class TrayCheckNotifier : public SilentNotifier {
 public:
  explicit TrayCheckNotifier(TrayServices& tray) : tray_(tray) {}

  void UpdateTray(uint32_t totalCount, const Text& allMailText, CheckStatus status) override {
    tray_.UpdateTray(totalCount, allMailText, status);
  }

 private:
  TrayServices& tray_;
};

}  // namespace tarvel
