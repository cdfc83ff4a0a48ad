#pragma once

#include <functional>

#include "app/desktop_services.h"
#include "app/login_runner.h"
#include "engines/protocol/notes_engine.h"
#include "maintenance/diagnostic_trace.h"

namespace tarvel {

class DiagnosticTrace;

// Stands in for the tray icon, dialogs, windows and readers until they are built: each
// request is written to the diagnostic trace, so it can be seen that it was made.
class PlaceholderServices : public DesktopServices, public LoginRunner {
 public:
  explicit PlaceholderServices(DiagnosticTrace& trace) : trace_(trace) {}

  void PrepareProblemReports() override {}
  void AddTrayIcon() override { trace_.Record("AddTrayIcon"); }
  void RemoveTrayIcon() override { trace_.Record("RemoveTrayIcon"); }
  void RestoreCookies(AccountTypeList&) override {}
  void StartUpdateCheck(bool) override {}
  void OpenOptions() override { trace_.Record("OpenOptions"); }
  void CloseOptions() override {}
  void OpenMailList() override { trace_.Record("OpenMailList"); }
  void CloseMailList() override {}
  void ClosePopup() override {}
  void ShowNewMailPopup() override {}
  void OnTrayCallback(uintptr_t, intptr_t) override {}
  void AlternateTrayIcon() override {}
  // The Notes engine's request, run here on the main thread.
  intptr_t OnNotesRequest(uintptr_t wParam, intptr_t lParam) override {
    return NotesEngine::RunPostedRequest(wParam, lParam);
  }
  void OpenReaders(uint32_t typeMask) override {
    trace_.Record("OpenReaders");
    if (openReaders)
      openReaders(typeMask);
  }

  bool IsOpen() const override { return false; }
  void BringToFront() override {}
  bool Run(uint32_t) override {
    trace_.Record("LoginWindowUnavailable");
    return true;
  }

  // Opens the readers once the reader launch is wired in.
  std::function<void(uint32_t typeMask)> openReaders;

 private:
  DiagnosticTrace& trace_;
};

}  // namespace tarvel
