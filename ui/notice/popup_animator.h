#pragma once

#include <cstdint>
#include <optional>

#include "app/main_window_port.h"

namespace tarvel {

// A rectangle in screen pixels; right and bottom are exclusive.
struct PopupRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  int right() const { return x + width; }
  int bottom() const { return y + height; }
  friend bool operator==(const PopupRect&, const PopupRect&) = default;
};

enum class TaskbarEdge {
  Left,
  Top,
  Right,
  Bottom,
};

// The screen a popup appears on: its full rectangle, the work area (the screen without the
// panels) and, when no panel takes space, the edge of a panel that hides itself, if any.
struct ScreenGeometry {
  PopupRect screen;
  PopupRect workArea;
  std::optional<TaskbarEdge> autoHideTaskbar;
};

// The edge the panel sits at: a work area narrower than the screen means a panel at the left
// (when the work area does not start at the screen's left) or right; else a lower work area
// means one at the top or bottom; else a panel that hides itself; else the right.
TaskbarEdge FindTaskbarEdge(const ScreenGeometry& geometry);

// The window an animator moves.
class PopupSurface {
 public:
  virtual ~PopupSurface() = default;
  // Moves and sizes the window without activating it.
  virtual void SetGeometry(const PopupRect& rect) = 0;
  virtual void ShowWithoutActivating(bool topMost) = 0;
  // 0 (invisible) to 255 (as the window's own opacity allows).
  virtual void SetAlpha(int alpha) = 0;
  virtual bool IsVisible() const = 0;
  // Closes and destroys the window; called once, at the end of the slide-out.
  virtual void Destroy() = 0;
};

// Animation options.
enum PopupAnimationOptions : unsigned {
  kPopupSlide = 0,
  kPopupFade = 1,        // fade in and out at the final place instead of sliding
  kPopupNotTopMost = 2,  // an ordinary window instead of one that stays on top
};

inline constexpr uint32_t kPopupAnimationTimer = 1;
inline constexpr uint32_t kPopupStayTimer = 2;
inline constexpr uint32_t kPopupAnimationIntervalMs = 10;
inline constexpr int kPopupSlideStep = 6;
// A popup takes at most this share of the screen along its sliding axis (in percent).
inline constexpr int kPopupMaxScreenPercent = 75;

// Slides (or fades) a popup in from the panel's edge, keeps it for the stay time and slides
// it out again. Its timers run on `timers`, whose handler it is.
class PopupAnimator : public MainWindowHandler {
 public:
  enum class Phase {
    Idle,
    SlidingIn,
    Showing,
    SlidingOut,
    Closed,
  };

  PopupAnimator(PopupSurface& surface, MainWindowPort& timers);
  PopupAnimator(const PopupAnimator&) = delete;
  PopupAnimator& operator=(const PopupAnimator&) = delete;

  // Places the window (full size `width` × `height`) at the panel's edge and starts the
  // animation. A stay time of 0 keeps the window until Hide.
  void Show(const ScreenGeometry& geometry, int width, int height, uint32_t stayMs, int step,
            unsigned options);
  // Slides the window out and closes it; at once when it is not visible.
  void Hide();

  Phase phase() const { return phase_; }
  TaskbarEdge edge() const { return edge_; }
  PopupRect rect() const { return rect_; }
  int alpha() const { return alpha_; }
  // The full size along the sliding axis.
  int fullSize() const { return fullSize_; }

  intptr_t OnMessage(uint32_t, uintptr_t, intptr_t) override { return 0; }
  void OnTimer(uint32_t timerId) override;

 private:
  void Step();
  void ApplySize(int size);
  void Finish();
  bool horizontal() const { return edge_ == TaskbarEdge::Left || edge_ == TaskbarEdge::Right; }

  PopupSurface& surface_;
  MainWindowPort& timers_;
  Phase phase_ = Phase::Idle;
  TaskbarEdge edge_ = TaskbarEdge::Right;
  unsigned options_ = kPopupSlide;
  uint32_t stayMs_ = 0;
  int step_ = kPopupSlideStep;
  int fullSize_ = 0;
  int size_ = 0;
  int alpha_ = 255;
  PopupRect finalRect_;
  PopupRect rect_;
  PopupRect workArea_;
};

}  // namespace tarvel
