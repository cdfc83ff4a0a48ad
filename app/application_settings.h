#pragma once

#include <cstdint>
#include <functional>

#include "app/instance_record.h"

namespace tarvel {

class CheckCycle;
class OptionFlags;
class AccountTypeList;

// The settings as the application reads and writes them at start and at exit.
class ApplicationSettings {
 public:
  virtual ~ApplicationSettings() = default;
  // Opens the store: the portable file beside the program, or the per-user store.
  virtual void Open(bool portable) = 0;
  // Reads the values the settings keep in the desktop's keyring into memory, before
  // LoadGlobals. The keyring is asked on a thread of its own; `waitFor` is called with a test
  // of its end (which waits up to the given milliseconds) and returns once the test is true,
  // keeping the caller's events going. Without values in the keyring nothing is asked.
  using WaitFor = std::function<void(const std::function<bool(uint32_t)>& finished)>;
  virtual void LoadKeptSecrets(const WaitFor& waitFor) { static_cast<void>(waitFor); }
  // Reads the global settings in start-up order into the option word, the check cycle and
  // the engines; the colour defaults follow the theme.
  virtual void LoadGlobals(OptionFlags& flags, CheckCycle& cycle, AccountTypeList& accounts,
                           bool darkTheme) = 0;
  // Writes the option word (the caller has cleared its run-time bits).
  virtual void SaveFlags(uint64_t flags) = 0;
  // The `hwnd` value, always in the per-user store.
  virtual InstanceRecord& instanceRecord() = 0;
};

}  // namespace tarvel
