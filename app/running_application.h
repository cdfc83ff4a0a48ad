#pragma once

namespace tarvel {

class AccountTypeList;
class CheckCycle;
class MainWindowPort;
class OptionFlags;

// What the desktop's features read of the running program: its account types and check
// cycle (both exist once the start-up has run), its option word and its main window.
class RunningApplication {
 public:
  virtual AccountTypeList& accounts() = 0;
  virtual CheckCycle& cycle() = 0;
  virtual OptionFlags& flags() = 0;
  virtual MainWindowPort& mainWindow() = 0;

 protected:
  ~RunningApplication() = default;
};

}  // namespace tarvel
