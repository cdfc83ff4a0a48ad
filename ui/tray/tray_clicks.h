#pragma once

#include <cstdint>
#include <optional>

namespace tarvel {

// The events of the tray callback message (its second parameter).
enum class TrayEvent : intptr_t {
  LeftButtonDown = 0x201,
  LeftDoubleClick = 0x203,
  RightButtonDown = 0x204,
  BalloonClick = 0x405,
};

// The delay of the check that follows a click that opened readers.
inline constexpr uint32_t kCheckAfterTrayClickMs = 10'000;

// What the program knows when the tray is clicked.
struct TrayClickContext {
  uint32_t mailMask = 0;     // types with unread mail
  uint32_t newMailMask = 0;  // types with new mail in the last check
  uint32_t enabledMask = 0;  // typeBits of the enabled types
  bool soundConfigured = false;
  uint64_t nowMilliseconds = 0;  // steady clock
  uint32_t doubleClickMilliseconds = 500;
};

// What a click asks for.
struct TrayClickAction {
  bool showMenu = false;
  bool stopSound = false;
  bool openReaders = false;
  uint32_t readerMask = 0;
  bool checkSoon = false;  // restart the check timer with kCheckAfterTrayClickMs
};

// Turns tray events into actions. A click that follows the last accepted one within the
// double-click time is ignored, so a double click opens the readers once.
class TrayClickHandler {
 public:
  TrayClickAction OnEvent(TrayEvent event, const TrayClickContext& context);

 private:
  std::optional<uint64_t> lastAcceptedClick_;
};

}  // namespace tarvel
