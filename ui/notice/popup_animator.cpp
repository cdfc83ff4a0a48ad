#include "ui/notice/popup_animator.h"

#include <algorithm>

namespace tarvel {

namespace {

constexpr int kOpaque = 255;

}  // namespace

TaskbarEdge FindTaskbarEdge(const ScreenGeometry& geometry) {
  const PopupRect& screen = geometry.screen;
  const PopupRect& work = geometry.workArea;
  if (work.width < screen.width)
    return work.x != screen.x ? TaskbarEdge::Left : TaskbarEdge::Right;
  if (work.height < screen.height)
    return work.y != screen.y ? TaskbarEdge::Top : TaskbarEdge::Bottom;
  return geometry.autoHideTaskbar.value_or(TaskbarEdge::Right);
}

PopupAnimator::PopupAnimator(PopupSurface& surface, MainWindowPort& timers)
    : surface_(surface), timers_(timers) {}

void PopupAnimator::Show(const ScreenGeometry& geometry, int width, int height, uint32_t stayMs,
                         int step, unsigned options) {
  edge_ = FindTaskbarEdge(geometry);
  options_ = options;
  stayMs_ = stayMs;
  step_ = std::max(step, 1);
  workArea_ = geometry.workArea;
  width = std::max(width, 0);
  height = std::max(height, 0);
  // The sliding axis is limited to a share of the screen; the other keeps the window's size.
  if (horizontal()) {
    width = std::min(
        width, static_cast<int>(int64_t{geometry.screen.width} * kPopupMaxScreenPercent / 100));
    fullSize_ = width;
  } else {
    height = std::min(
        height, static_cast<int>(int64_t{geometry.screen.height} * kPopupMaxScreenPercent / 100));
    fullSize_ = height;
  }
  const PopupRect& work = workArea_;
  switch (edge_) {
    case TaskbarEdge::Left:
      finalRect_ = {work.x, work.bottom() - height, width, height};
      break;
    case TaskbarEdge::Right:
      finalRect_ = {work.right() - width, work.bottom() - height, width, height};
      break;
    case TaskbarEdge::Top:
      finalRect_ = {work.right() - width, work.y, width, height};
      break;
    case TaskbarEdge::Bottom:
      finalRect_ = {work.right() - width, work.bottom() - height, width, height};
      break;
  }
  if (options_ & kPopupFade) {
    alpha_ = 0;
    size_ = fullSize_;
    rect_ = finalRect_;
    surface_.SetAlpha(alpha_);
    surface_.SetGeometry(rect_);
  } else {
    alpha_ = kOpaque;
    ApplySize(0);
  }
  surface_.ShowWithoutActivating(!(options_ & kPopupNotTopMost));
  phase_ = Phase::SlidingIn;
  timers_.SetTimer(kPopupAnimationTimer, kPopupAnimationIntervalMs);
}

void PopupAnimator::Hide() {
  if (phase_ == Phase::Closed || phase_ == Phase::SlidingOut)
    return;
  timers_.KillTimer(kPopupStayTimer);
  if (phase_ == Phase::Idle || !surface_.IsVisible()) {
    Finish();
    return;
  }
  phase_ = Phase::SlidingOut;
  timers_.SetTimer(kPopupAnimationTimer, kPopupAnimationIntervalMs);
}

void PopupAnimator::OnTimer(uint32_t timerId) {
  if (timerId == kPopupAnimationTimer) {
    Step();
  } else if (timerId == kPopupStayTimer) {
    timers_.KillTimer(kPopupStayTimer);
    Hide();
  }
}

void PopupAnimator::Step() {
  const bool fade = options_ & kPopupFade;
  if (phase_ == Phase::SlidingIn) {
    if (fade) {
      alpha_ = std::min(alpha_ + step_, kOpaque);
      surface_.SetAlpha(alpha_);
    } else {
      ApplySize(std::min(size_ + step_, fullSize_));
    }
    if ((fade && alpha_ == kOpaque) || (!fade && size_ == fullSize_)) {
      timers_.KillTimer(kPopupAnimationTimer);
      phase_ = Phase::Showing;
      if (stayMs_ > 0)
        timers_.SetTimer(kPopupStayTimer, stayMs_);
    }
  } else if (phase_ == Phase::SlidingOut) {
    if (fade) {
      alpha_ = std::max(alpha_ - step_, 0);
      surface_.SetAlpha(alpha_);
    } else {
      ApplySize(std::max(size_ - step_, 0));
    }
    if ((fade && alpha_ == 0) || (!fade && size_ == 0))
      Finish();
  } else {
    timers_.KillTimer(kPopupAnimationTimer);
  }
}

void PopupAnimator::ApplySize(int size) {
  size_ = size;
  rect_ = finalRect_;
  switch (edge_) {
    case TaskbarEdge::Left:
      rect_.width = size;
      break;
    case TaskbarEdge::Right:
      rect_.x = finalRect_.right() - size;
      rect_.width = size;
      break;
    case TaskbarEdge::Top:
      rect_.height = size;
      break;
    case TaskbarEdge::Bottom:
      rect_.y = finalRect_.bottom() - size;
      rect_.height = size;
      break;
  }
  surface_.SetGeometry(rect_);
}

void PopupAnimator::Finish() {
  timers_.KillTimer(kPopupAnimationTimer);
  timers_.KillTimer(kPopupStayTimer);
  phase_ = Phase::Closed;
  surface_.Destroy();
}

}  // namespace tarvel
