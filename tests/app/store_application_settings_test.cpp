// The settings other threads read: a published copy that changes only when the main thread
// publishes, and then whole.
#include "app/store_application_settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

struct PublishedSettings : ::testing::Test {
  testing::TempFolder folder;
  StoreApplicationSettings settings{folder.file("registry"), folder.path() + "/"};

  void SetUp() override { settings.Open(true); }
};

TEST_F(PublishedSettings, EditsReachReadersOnlyWhenPublishedAndThenAllAtOnce) {
  settings.Publish();
  const std::shared_ptr<const GlobalSettings> before = settings.published();
  // The main thread edits the values in memory, as the options dialog does.
  settings.mutableGlobals().newMailSound = Text(u"/tmp/ding.wav");
  settings.mutableGlobals().transparency = 100;
  EXPECT_TRUE(settings.published()->newMailSound.isEmpty());
  EXPECT_EQ(settings.published()->transparency, before->transparency);

  settings.Publish();
  const std::shared_ptr<const GlobalSettings> after = settings.published();
  EXPECT_EQ(after->newMailSound, u"/tmp/ding.wav");
  EXPECT_EQ(after->transparency, 100u);
  // A reader that took the earlier copy keeps it unchanged.
  EXPECT_TRUE(before->newMailSound.isEmpty());
  EXPECT_NE(before->transparency, 100u);
  // Later edits do not reach a published copy.
  settings.mutableGlobals().transparency = 50;
  EXPECT_EQ(after->transparency, 100u);
}

TEST_F(PublishedSettings, AReaderThreadNeverSeesHalfAnEdit) {
  // Each round changes two values together; a reader on another thread must see them match.
  const auto soundFor = [](uint32_t round) {
    return Text::FromUtf8("/sounds/" + std::to_string(round) + ".wav");
  };
  settings.mutableGlobals().transparency = 0;
  settings.mutableGlobals().newMailSound = soundFor(0);
  settings.Publish();
  std::atomic<bool> done{false};
  std::atomic<int> mismatches{0};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!done.load()) {
      const std::shared_ptr<const GlobalSettings> seen = settings.published();
      if (!(seen->newMailSound == soundFor(seen->transparency).view()))
        ++mismatches;
      ++reads;
    }
  });
  constexpr uint32_t kRounds = 2000;
  for (uint32_t round = 1; round <= kRounds; ++round) {
    settings.mutableGlobals().transparency = round;
    settings.mutableGlobals().newMailSound = soundFor(round);
    settings.Publish();
  }
  // The reader saw at least one copy after the last publication.
  const int readsAtEnd = reads.load();
  while (reads.load() < readsAtEnd + 2)
    std::this_thread::yield();
  done = true;
  reader.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(settings.published()->transparency, kRounds);
}

}  // namespace
}  // namespace tarvel
