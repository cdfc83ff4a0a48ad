#include "ui/alerts/user_busy.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "accounts/registry_store.h"
#include "accounts/settings_store.h"
#include "tests/support/temp_folder.h"
#include "ui/alerts/new_mail_alerts.h"

namespace tarvel {
namespace {

// Probes with fixed answers that count how often they were asked.
class FakeProbes : public UserBusyProbes {
 public:
  bool notificationsOff = false;
  bool screenSaver = false;
  bool fullScreen = false;
  int asked = 0;
  bool NotificationsSwitchedOff() override { return ++asked, notificationsOff; }
  bool ScreenSaverActive() override { return ++asked, screenSaver; }
  bool ActiveWindowFullScreen() override { return ++asked, fullScreen; }
};

class RecordingPlayer : public SoundPlayer {
 public:
  std::vector<std::string> played;
  int stops = 0;
  void Play(const Text& path) override { played.push_back(path.ToUtf8()); }
  void Stop() override { ++stops; }
};

AlertSettings WithSound(std::u16string_view sound) {
  AlertSettings settings;
  settings.newMailSound = Text(sound);
  return settings;
}

TEST(UserBusy, EachStateAndTheStoreValue) {
  struct Row {
    const char* name;
    std::optional<RegistryValue> toasts;  // the store value, absent when nullopt
    bool notificationsOff, screenSaver, fullScreen;
    bool busy;
    int probesAsked;  // the first state that holds ends the test
  };
  const Row rows[] = {
      {"nothing", std::nullopt, false, false, false, false, 3},
      {"toasts on", RegistryValue::Dword(1), false, false, false, false, 3},
      {"toasts off", RegistryValue::Dword(0), false, false, false, true, 0},
      {"toasts off as a quad word", RegistryValue::Qword(0), false, false, false, true, 0},
      {"toasts as text is no number", RegistryValue::String("0"), false, false, false, false, 3},
      {"desktop do-not-disturb", std::nullopt, true, false, false, true, 1},
      {"screen saver", std::nullopt, false, true, false, true, 2},
      {"full screen", std::nullopt, false, false, true, true, 3},
      {"all", RegistryValue::Dword(1), true, true, true, true, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    testing::TempFolder folder;
    RegistryStore registry(folder.file("registry"));
    if (row.toasts) {
      ASSERT_TRUE(registry.WriteValue(kNotificationSettingsKey, kToastsEnabledValue, *row.toasts));
    }
    FakeProbes probes;
    probes.notificationsOff = row.notificationsOff;
    probes.screenSaver = row.screenSaver;
    probes.fullScreen = row.fullScreen;
    EXPECT_EQ(IsUserBusy(&registry, probes), row.busy);
    EXPECT_EQ(probes.asked, row.probesAsked);
  }
}

TEST(NewMailAlerts, BusySuppressesTheSoundUnlessAllowedInFullScreen) {
  struct Row {
    const char* name;
    bool busy;
    std::optional<uint64_t> allowInFullScreen;
    bool plays;
  };
  const Row rows[] = {
      {"not busy", false, std::nullopt, true},
      {"busy", true, std::nullopt, false},
      {"busy, not allowed", true, 0, false},
      {"busy, allowed", true, 1, true},
      {"busy, allowed by any non-zero value", true, 0x100000000ull, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    testing::TempFolder folder;
    RegistryStore registry(folder.file("registry"));
    SettingsStore settings;
    ASSERT_TRUE(settings.open(SettingsMode::Registry, &registry, kSettingsKeyPath));
    if (row.allowInFullScreen) {
      ASSERT_TRUE(settings.writeNumber(kAllowSoundInFullscreen, *row.allowInFullScreen));
    }
    FakeProbes probes;
    probes.fullScreen = row.busy;
    RecordingPlayer player;
    AlertParts parts;
    parts.registry = &registry;
    parts.settings = &settings;
    parts.busyProbes = &probes;
    parts.player = &player;
    parts.isPlainFile = [](const Text&) { return false; };
    NewMailAlerts alerts(parts);
    alerts.Configure(WithSound(u"/s/Ping.wav"));
    alerts.PlayNewMailSound(0x2);
    EXPECT_EQ(player.played,
              row.plays ? std::vector<std::string>{"/s/Ping.wav"} : std::vector<std::string>{});
  }
}

TEST(NewMailAlerts, PlaysThePerAccountSoundAndStopsOnAClick) {
  FakeProbes probes;
  RecordingPlayer player;
  AlertParts parts;
  parts.busyProbes = &probes;
  parts.player = &player;
  parts.isPlainFile = [](const Text& path) {
    return path == std::u16string_view(u"/s/PingIMAP #1.wav");
  };
  NewMailAlerts alerts(parts);
  alerts.Configure(WithSound(u"/s/Ping.wav"));
  alerts.PlayNewMailSound(0x8000);
  alerts.PlayNewMailSound(0x20000);
  alerts.StopNewMailSound();
  EXPECT_EQ(player.played, (std::vector<std::string>{"/s/PingIMAP #1.wav", "/s/Ping.wav"}));
  EXPECT_EQ(player.stops, 1);

  // An empty sound setting plays nothing.
  alerts.Configure(WithSound(u""));
  alerts.PlayNewMailSound(0x8000);
  EXPECT_EQ(player.played.size(), 2u);
}

}  // namespace
}  // namespace tarvel
