#include "platform/clock.h"

#include <gtest/gtest.h>

namespace tarvel {
namespace {

TEST(LocaleFirstDayOfWeek, ReadsTheCLibrarysWeekData) {
  // glibc's C locale starts the week on Sunday; a locale that is not installed gives Monday.
  EXPECT_EQ(LocaleFirstDayOfWeek("C"), 6);
  EXPECT_EQ(LocaleFirstDayOfWeek("xx_NOWHERE.UTF-8"), 0);
  const int user = LocaleFirstDayOfWeek();
  EXPECT_GE(user, 0);
  EXPECT_LE(user, 6);
}

}  // namespace
}  // namespace tarvel
