#include <gtest/gtest.h>

#include <vector>

#include "app/manual_main_window.h"
#include "ui/notice/popup_animator.h"

namespace tarvel {
namespace {

class FakeSurface : public PopupSurface {
 public:
  void SetGeometry(const PopupRect& rect) override { rects.push_back(rect); }
  void ShowWithoutActivating(bool topMost) override {
    visible = true;
    shownTopMost = topMost;
  }
  void SetAlpha(int value) override { alpha = value; }
  bool IsVisible() const override { return visible; }
  void Destroy() override {
    ++destroyed;
    visible = false;
  }

  std::vector<PopupRect> rects;
  bool visible = false;
  bool shownTopMost = false;
  int alpha = 255;
  int destroyed = 0;
};

struct AnimatorFixture : ::testing::Test {
  FakeSurface surface;
  ManualMainWindow timers;
  PopupAnimator animator{surface, timers};
  AnimatorFixture() { timers.setHandler(&animator); }
};

// A 1000×800 screen; the panel takes 40 pixels at one edge.
ScreenGeometry ScreenWithPanel(TaskbarEdge edge) {
  ScreenGeometry geometry;
  geometry.screen = {0, 0, 1000, 800};
  switch (edge) {
    case TaskbarEdge::Left:
      geometry.workArea = {40, 0, 960, 800};
      break;
    case TaskbarEdge::Right:
      geometry.workArea = {0, 0, 960, 800};
      break;
    case TaskbarEdge::Top:
      geometry.workArea = {0, 40, 1000, 760};
      break;
    case TaskbarEdge::Bottom:
      geometry.workArea = {0, 0, 1000, 760};
      break;
  }
  return geometry;
}

TEST(TaskbarEdgeTest, FromWorkAreaAgainstScreen) {
  for (TaskbarEdge edge :
       {TaskbarEdge::Left, TaskbarEdge::Right, TaskbarEdge::Top, TaskbarEdge::Bottom}) {
    SCOPED_TRACE(static_cast<int>(edge));
    EXPECT_EQ(FindTaskbarEdge(ScreenWithPanel(edge)), edge);
  }
  ScreenGeometry noPanel;
  noPanel.screen = noPanel.workArea = {0, 0, 1000, 800};
  EXPECT_EQ(FindTaskbarEdge(noPanel), TaskbarEdge::Right);
  noPanel.autoHideTaskbar = TaskbarEdge::Top;
  EXPECT_EQ(FindTaskbarEdge(noPanel), TaskbarEdge::Top);
  // A second screen to the right of the first: its own left is not 0, which is no panel.
  ScreenGeometry second;
  second.screen = second.workArea = {1000, 0, 800, 600};
  EXPECT_EQ(FindTaskbarEdge(second), TaskbarEdge::Right);
}

TEST_F(AnimatorFixture, StartAndEndRectanglesForEachEdge) {
  struct Row {
    TaskbarEdge edge;
    PopupRect start;
    PopupRect end;
  };
  // The popup is 300×100.
  const Row rows[] = {
      {TaskbarEdge::Left, {40, 700, 0, 100}, {40, 700, 300, 100}},
      {TaskbarEdge::Right, {960, 700, 0, 100}, {660, 700, 300, 100}},
      {TaskbarEdge::Top, {700, 40, 300, 0}, {700, 40, 300, 100}},
      {TaskbarEdge::Bottom, {700, 760, 300, 0}, {700, 660, 300, 100}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.edge));
    FakeSurface rowSurface;
    ManualMainWindow rowTimers;
    PopupAnimator rowAnimator(rowSurface, rowTimers);
    rowTimers.setHandler(&rowAnimator);
    rowAnimator.Show(ScreenWithPanel(row.edge), 300, 100, 5000, kPopupSlideStep, kPopupSlide);
    ASSERT_FALSE(rowSurface.rects.empty());
    EXPECT_EQ(rowSurface.rects.front(), row.start);
    EXPECT_TRUE(rowSurface.visible);
    EXPECT_TRUE(rowSurface.shownTopMost);
    EXPECT_EQ(rowAnimator.phase(), PopupAnimator::Phase::SlidingIn);
    // 6 pixels every 10 ms: 300 pixels take 50 ticks, 100 pixels 17.
    const int ticks = (row.edge == TaskbarEdge::Left || row.edge == TaskbarEdge::Right) ? 50 : 17;
    rowTimers.AdvanceBy(uint64_t(ticks - 1) * kPopupAnimationIntervalMs);
    EXPECT_EQ(rowAnimator.phase(), PopupAnimator::Phase::SlidingIn);
    rowTimers.AdvanceBy(kPopupAnimationIntervalMs);
    EXPECT_EQ(rowAnimator.phase(), PopupAnimator::Phase::Showing);
    EXPECT_EQ(rowSurface.rects.back(), row.end);
    // Every step grows by 6 pixels, the last one by what is left.
    const PopupRect second = rowSurface.rects[1];
    EXPECT_EQ(second.width * second.height,
              (row.edge == TaskbarEdge::Left || row.edge == TaskbarEdge::Right) ? 600 : 1800);
    // The stay time, then the same way back, and the window is destroyed once.
    rowTimers.AdvanceBy(5000);
    EXPECT_EQ(rowAnimator.phase(), PopupAnimator::Phase::SlidingOut);
    rowTimers.AdvanceBy(uint64_t(ticks) * kPopupAnimationIntervalMs);
    EXPECT_EQ(rowAnimator.phase(), PopupAnimator::Phase::Closed);
    EXPECT_EQ(rowSurface.rects.back(), row.start);
    EXPECT_EQ(rowSurface.destroyed, 1);
    EXPECT_FALSE(rowTimers.timerInterval(kPopupAnimationTimer));
    EXPECT_FALSE(rowTimers.timerInterval(kPopupStayTimer));
  }
}

TEST_F(AnimatorFixture, WidthIsLimitedToThreeQuartersOfTheScreen) {
  animator.Show(ScreenWithPanel(TaskbarEdge::Right), 900, 100, 0, kPopupSlideStep, kPopupSlide);
  EXPECT_EQ(animator.fullSize(), 750);
  timers.AdvanceBy(2000);
  EXPECT_EQ(surface.rects.back(), (PopupRect{210, 700, 750, 100}));
  // Along the other axis a panel at the bottom limits the height instead.
  FakeSurface tall;
  ManualMainWindow tallTimers;
  PopupAnimator tallAnimator(tall, tallTimers);
  tallTimers.setHandler(&tallAnimator);
  tallAnimator.Show(ScreenWithPanel(TaskbarEdge::Bottom), 900, 700, 0, 6, kPopupSlide);
  EXPECT_EQ(tallAnimator.fullSize(), 600);
}

TEST_F(AnimatorFixture, StayTimeZeroStaysUntilHidden) {
  animator.Show(ScreenWithPanel(TaskbarEdge::Bottom), 300, 60, 0, kPopupSlideStep, kPopupSlide);
  timers.AdvanceBy(3'600'000);
  EXPECT_EQ(animator.phase(), PopupAnimator::Phase::Showing);
  EXPECT_EQ(surface.destroyed, 0);
  animator.Hide();
  timers.AdvanceBy(100);
  EXPECT_EQ(animator.phase(), PopupAnimator::Phase::Closed);
  EXPECT_EQ(surface.destroyed, 1);
}

TEST_F(AnimatorFixture, HideWhileSlidingInSlidesBackFromWhereItIs) {
  animator.Show(ScreenWithPanel(TaskbarEdge::Right), 300, 100, 1000, kPopupSlideStep, kPopupSlide);
  timers.AdvanceBy(100);  // 10 ticks: 60 pixels
  EXPECT_EQ(surface.rects.back().width, 60);
  animator.Hide();
  animator.Hide();  // a second request changes nothing
  timers.AdvanceBy(90);
  EXPECT_EQ(animator.phase(), PopupAnimator::Phase::SlidingOut);
  timers.AdvanceBy(10);
  EXPECT_EQ(animator.phase(), PopupAnimator::Phase::Closed);
  EXPECT_EQ(surface.destroyed, 1);
}

TEST_F(AnimatorFixture, HideOfAnInvisibleWindowClosesAtOnce) {
  animator.Show(ScreenWithPanel(TaskbarEdge::Right), 300, 100, 1000, kPopupSlideStep, kPopupSlide);
  surface.visible = false;
  animator.Hide();
  EXPECT_EQ(animator.phase(), PopupAnimator::Phase::Closed);
  EXPECT_EQ(surface.destroyed, 1);
  timers.AdvanceBy(2000);
  EXPECT_EQ(surface.destroyed, 1);
}

TEST_F(AnimatorFixture, FadeFormPlacesAtOnceAndRaisesTheAlpha) {
  animator.Show(ScreenWithPanel(TaskbarEdge::Bottom), 300, 100, 0, 51,
                kPopupFade | kPopupNotTopMost);
  EXPECT_EQ(surface.rects.front(), (PopupRect{700, 660, 300, 100}));
  EXPECT_EQ(surface.alpha, 0);
  EXPECT_FALSE(surface.shownTopMost);
  timers.AdvanceBy(50);
  EXPECT_EQ(surface.alpha, 255);
  EXPECT_EQ(animator.phase(), PopupAnimator::Phase::Showing);
  animator.Hide();
  timers.AdvanceBy(50);
  EXPECT_EQ(surface.alpha, 0);
  EXPECT_EQ(surface.destroyed, 1);
}

}  // namespace
}  // namespace tarvel
