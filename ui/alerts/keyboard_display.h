#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/text.h"

namespace tarvel {

// The one-shot timer that clears the display (timer 2 of the main window).
class DisplayClearTimer {
 public:
  virtual ~DisplayClearTimer() = default;
  virtual void Start(uint32_t milliseconds) = 0;
  virtual void Stop() = 0;
};

inline constexpr const char* kLogitechLcdLibrary = "libLogitechLcd.so";

// Shows the tray's tooltip text on a Logitech keyboard display through the vendor's display
// library, loaded at run time. The library's functions take wide-character text. When the
// library, one of its functions or a display is missing, the display is disabled for the
// rest of the run, silently. Callable from any thread.
class KeyboardDisplay {
 public:
  // `libraryCandidates`: the library's file paths or names, tried in order with dlopen.
  KeyboardDisplay(std::vector<std::string> libraryCandidates, DisplayClearTimer& timer);
  ~KeyboardDisplay();
  KeyboardDisplay(const KeyboardDisplay&) = delete;
  KeyboardDisplay& operator=(const KeyboardDisplay&) = delete;

  // Shows `text` (lines separated by carriage returns) for `seconds`; an empty text clears
  // the display and shuts the library down.
  void Show(const Text& text, uint32_t seconds);

  bool enabled() const;

 private:
  struct Functions;
  bool Load();
  void ShutDown();
  void Disable();

  std::vector<std::string> libraryCandidates_;
  DisplayClearTimer& timer_;
  mutable std::mutex mutex_;
  bool enabled_ = true;
  bool initialised_ = false;
  void* library_ = nullptr;
  std::unique_ptr<Functions> functions_;
};

}  // namespace tarvel
