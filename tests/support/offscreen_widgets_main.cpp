#include <gtest/gtest.h>

#include <QApplication>

// The main of the widget tests: a QApplication on the offscreen platform unless the
// environment names another (test discovery runs without a display).
int main(int argc, char** argv) {
  if (qgetenv("QT_QPA_PLATFORM").isEmpty())
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
