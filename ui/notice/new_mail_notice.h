#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "mail/check_status.h"
#include "platform/text.h"

namespace tarvel {

class MainWindowPort;
class OptionFlags;

// Field limits of the desktop notification that stands for the tray balloon.
inline constexpr Text::Position kBalloonTitleLimit = 63;
inline constexpr Text::Position kBalloonTextLimit = 255;

// A new-mail notice in its balloon form.
struct BalloonNotice {
  Text title;  // the count text
  Text text;   // the new-mail lines, separated by carriage returns
  uint32_t timeoutMs = 0;
  CheckStatus status = CheckStatus::Success;
};

// Shows a balloon notice (a desktop notification); called on the check thread.
class BalloonSink {
 public:
  virtual ~BalloonSink() = default;
  virtual void ShowBalloon(const BalloonNotice& notice) = 0;
};

// What the popup shows of the last notice.
struct PopupContent {
  Text title;
  std::vector<Text> lines;  // plain text, not yet escaped
};

// The new-mail notice of a check: a popup window (the option "Use alternative Tooltip") or a
// balloon. Called on the check thread; the popup itself is shown on the main thread when the
// posted message arrives there.
class NewMailNotice {
 public:
  NewMailNotice(const OptionFlags& flags, MainWindowPort& mainWindow, BalloonSink& balloons);

  void setToolTipSeconds(uint32_t seconds) { toolTipSeconds_.store(seconds); }
  // False where the program cannot place its popup window (a Wayland session): the popup
  // option then brings the notice in its balloon form.
  void setPopupPlaceable(bool placeable) { popupPlaceable_.store(placeable); }
  uint32_t toolTipMilliseconds() const;

  // Announces `newCount` new mails whose lines are `newMailText`.
  void NotifyNewMail(const Text& newMailText, uint32_t newCount, CheckStatus status);

  // The popup's title and lines as the last notice left them.
  PopupContent popupContent() const;

 private:
  const OptionFlags& flags_;
  MainWindowPort& mainWindow_;
  BalloonSink& balloons_;
  std::atomic<uint32_t> toolTipSeconds_{10};
  std::atomic<bool> popupPlaceable_{true};
  mutable std::mutex mutex_;
  PopupContent popup_;
};

}  // namespace tarvel
