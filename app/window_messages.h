#pragma once

#include <cstdint>

namespace tarvel {

// Messages of the main window (WM_APP + n) and of the mail list window.
inline constexpr uint32_t kAppMessageBase = 0x8000;
inline constexpr uint32_t kMsgTrayCallback = kAppMessageBase + 1;
inline constexpr uint32_t kMsgStartCheck = kAppMessageBase + 2;
inline constexpr uint32_t kMsgClose = kAppMessageBase + 3;
inline constexpr uint32_t kMsgCheckFinished = kAppMessageBase + 4;
inline constexpr uint32_t kMsgShowPopup = kAppMessageBase + 5;
inline constexpr uint32_t kMsgNotesRequest = kAppMessageBase + 6;
inline constexpr uint32_t kMsgReloadMailList = kAppMessageBase + 7;
inline constexpr uint32_t kMsgOpenOptions = kAppMessageBase + 8;
// A tray menu command (WM_COMMAND); the command is the first parameter.
inline constexpr uint32_t kMsgCommand = 0x0111;

// Timers of the main window.
inline constexpr uint32_t kTimerCheck = 1;
inline constexpr uint32_t kTimerKeyboardDisplay = 2;
inline constexpr uint32_t kTimerSilence = 3;
inline constexpr uint32_t kTimerTrayAlternation = 9;

}  // namespace tarvel
