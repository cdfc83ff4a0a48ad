#pragma once

#include <cstdint>

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
