#pragma once

#include <cstdint>

namespace tarvel {

class AccountTypeList;

// What the application starts, opens and closes that belongs to other parts of the desktop
// program: the tray icon, the dialogs and windows, the readers, the stored cookies and the
// update check. The application calls them in its start-up and shutdown order.
class DesktopServices {
 public:
  virtual ~DesktopServices() = default;
  virtual void PrepareProblemReports() = 0;
  virtual void AddTrayIcon() = 0;
  virtual void RemoveTrayIcon() = 0;
  virtual void RestoreCookies(AccountTypeList& accounts) = 0;
  virtual void StartUpdateCheck(bool portable) = 0;
  // Opens the options dialog, or brings it to the front when it is open.
  virtual void OpenOptions() = 0;
  virtual void CloseOptions() = 0;
  virtual void OpenMailList() = 0;
  virtual void CloseMailList() = 0;
  virtual void ClosePopup() = 0;
  virtual void ShowNewMailPopup() = 0;
  // The tray icon's callback message: the icon's id and what happened (`TrayEvent`).
  virtual void OnTrayCallback(uintptr_t iconId, intptr_t event) = 0;
  // The tray icon's alternation timer fired.
  virtual void AlternateTrayIcon() = 0;
  virtual intptr_t OnNotesRequest(uintptr_t wParam, intptr_t lParam) = 0;
  // Opens the readers of the account types in the mask, in list order.
  virtual void OpenReaders(uint32_t typeMask) = 0;
};

}  // namespace tarvel
