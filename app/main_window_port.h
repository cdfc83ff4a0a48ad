#pragma once

#include <cstdint>

namespace tarvel {

// Receives what arrives at the main window: posted and sent messages, and timer expiries.
// Always called on the main thread.
class MainWindowHandler {
 public:
  virtual ~MainWindowHandler() = default;
  virtual intptr_t OnMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) = 0;
  virtual void OnTimer(uint32_t timerId) = 0;
};

// The core's view of the hidden main window. Every operation may be called from any thread.
// Timers repeat until killed; setting a timer whose id runs replaces its interval.
class MainWindowPort {
 public:
  virtual ~MainWindowPort() = default;
  virtual void PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) = 0;
  // Delivers the message on the main thread and waits for its result.
  virtual intptr_t SendMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) = 0;
  virtual void SetTimer(uint32_t timerId, uint32_t milliseconds) = 0;
  virtual void KillTimer(uint32_t timerId) = 0;
};

}  // namespace tarvel
