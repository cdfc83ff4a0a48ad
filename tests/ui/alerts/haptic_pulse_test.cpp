#include "ui/alerts/haptic_pulse.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fake_clock.h"

namespace tarvel {
namespace {

using hidpp::Report;

// How a scripted device answers.
struct Behaviour {
  int pingsIgnored = 0;                  // the first pings get no answer
  std::optional<uint8_t> hapticIndex{};  // the feature lookup's answer; none: no answer
  bool wrongEcho = false;                // answers carry another software id
  bool errorReports = false;             // answers come as HID++ error reports
  int noiseBefore = 0;                   // unrelated reports before each answer
  bool writeFails = false;
  // A receiver: requests to 0xFF and to its empty slots get HID++ 1.0 error reports; the
  // slots listed answer as devices. Without it only 0xFF answers; other indexes stay silent.
  bool receiver = false;
  uint8_t pairedSlots = 0;  // bit n: a device in slot n
  // Every read waits its whole time-out on this clock (a silent device); null: reads return.
  testing::FakeClock* waitingClock = nullptr;
};

// Everything sent to one device, kept by the backend across opens.
struct DeviceLog {
  std::vector<Report> requests;
  int pingsSeen = 0;
};

class ScriptedDevice : public HidDevice {
 public:
  ScriptedDevice(const Behaviour& behaviour, DeviceLog& log) : behaviour_(behaviour), log_(log) {}

  bool Write(std::span<const uint8_t> bytes, uint32_t timeoutMs) override {
    EXPECT_GT(timeoutMs, 0u);
    EXPECT_LE(timeoutMs, 500u);
    EXPECT_EQ(bytes.size(), 20u);
    if (behaviour_.writeFails)
      return false;
    Report request{};
    std::copy(bytes.begin(), bytes.end(), request.begin());
    log_.requests.push_back(request);
    Answer(request);
    return true;
  }

  int Read(std::span<uint8_t> buffer, uint32_t timeoutMs) override {
    EXPECT_GT(timeoutMs, 0u);
    EXPECT_LE(timeoutMs, 500u);
    if (pending_.empty()) {
      if (behaviour_.waitingClock)
        behaviour_.waitingClock->advance(timeoutMs);
      return 0;  // time-out
    }
    const Report report = pending_.front();
    pending_.pop_front();
    std::copy(report.begin(), report.end(), buffer.begin());
    return static_cast<int>(report.size());
  }

 private:
  void Answer(const Report& request) {
    const bool slot = request[1] != hidpp::kNoDeviceIndex;
    const bool paired = request[1] < 8 && ((behaviour_.pairedSlots >> request[1]) & 1) != 0;
    if (behaviour_.receiver && !paired) {
      // HID++ 1.0 error: sub id 0x8F, the request's feature index and function, an error code.
      Report error{};
      error[0] = 0x10;
      error[1] = request[1];
      error[2] = hidpp::kErrorSubId;
      error[3] = request[2];
      error[4] = request[3];
      error[5] = 0x09;
      pending_.push_back(error);
      return;
    }
    if (slot && !paired)
      return;  // a device of its own hears nothing for a receiver's slots
    Report answer = request;
    const uint8_t function = request[3] >> 4;
    if (request[2] == 0 && function == hidpp::kFunctionPing) {
      if (log_.pingsSeen++ < behaviour_.pingsIgnored)
        return;
      answer[4] = 4;  // protocol 4.2
      answer[5] = 2;
    } else if (request[2] == 0 && function == hidpp::kFunctionGetFeature) {
      if (!behaviour_.hapticIndex)
        return;
      answer[4] = *behaviour_.hapticIndex;
    }
    if (behaviour_.wrongEcho)
      answer[3] = static_cast<uint8_t>((answer[3] & 0xF0) | ((answer[3] + 1) & 0x0F));
    if (behaviour_.errorReports) {
      answer[2] = 0xFF;
    }
    for (int i = 0; i < behaviour_.noiseBefore; ++i) {
      Report noise{};
      noise[0] = hidpp::kLongReportId;
      noise[1] = request[1];
      noise[2] = 0x07;  // an unrelated notification
      pending_.push_back(noise);
    }
    pending_.push_back(answer);
  }

  Behaviour behaviour_;
  DeviceLog& log_;
  std::deque<Report> pending_;
};

class ScriptedBackend : public HidBackend {
 public:
  void Add(HidDeviceInfo info, Behaviour behaviour) {
    behaviours_[info.path] = behaviour;
    infos_.push_back(std::move(info));
  }
  std::vector<HidDeviceInfo> Enumerate(uint16_t vendorId) override {
    ++enumerations;
    EXPECT_EQ(vendorId, 0x046D);
    return infos_;
  }
  std::unique_ptr<HidDevice> Open(const std::string& path) override {
    opened.push_back(path);
    return std::make_unique<ScriptedDevice>(behaviours_.at(path), logs[path]);
  }

  int enumerations = 0;
  std::vector<std::string> opened;
  std::map<std::string, DeviceLog> logs;

 private:
  std::vector<HidDeviceInfo> infos_;
  std::map<std::string, Behaviour> behaviours_;
};

HidDeviceInfo Logitech(const std::string& path, int interfaceNumber = 2,
                       uint16_t usagePage = 0xFF43) {
  return {path, 0x046D, usagePage, interfaceNumber, {7, 20}};
}

// The function and the parameters of each request, software ids left out.
std::vector<std::string> Requests(const DeviceLog& log) {
  std::vector<std::string> result;
  for (const Report& request : log.requests) {
    char text[64];
    std::snprintf(text, sizeof text, "%02X %02X %02X f%u %02X %02X %02X", request[0], request[1],
                  request[2], request[3] >> 4, request[4], request[5], request[6]);
    result.emplace_back(text);
  }
  return result;
}

const std::string kPing = "11 FF 00 f1 00 00 42";
const std::string kLookup = "11 FF 00 f0 19 B0 00";

std::string SlotRequest(int slot, const char* rest) {
  char text[64];
  std::snprintf(text, sizeof text, "11 %02X %s", slot, rest);
  return text;
}

// A device that did not answer at 0xFF is asked as a receiver: one ping per slot.
std::vector<std::string> WithSlotPings(std::vector<std::string> requests) {
  for (int slot = 1; slot <= 6; ++slot)
    requests.push_back(SlotRequest(slot, "00 f1 00 00 42"));
  return requests;
}

TEST(HapticPulse, ExchangeWithScriptedDevices) {
  struct Row {
    const char* name;
    Behaviour behaviour;
    int pulses;
    std::vector<std::string> requests;
    uint64_t slept;  // the pauses between pings
  };
  const std::string pulse = "11 FF 0B f4 2A 00 00";
  const std::vector<std::string> unanswered = WithSlotPings({kPing, kPing, kPing});
  const Row rows[] = {
      {"answers at once", {.hapticIndex = 0x0B}, 1, {kPing, kLookup, pulse}, 0},
      {"answers the third ping",
       {.pingsIgnored = 2, .hapticIndex = 0x0B},
       1,
       {kPing, kPing, kPing, kLookup, pulse},
       200},
      {"never answers", {.pingsIgnored = 99, .hapticIndex = 0x0B}, 0, unanswered, 200},
      {"no haptic feature (0)", {.hapticIndex = 0}, 0, {kPing, kLookup}, 0},
      {"no haptic feature (0xFF)", {.hapticIndex = 0xFF}, 0, {kPing, kLookup}, 0},
      {"no answer to the lookup", {}, 0, {kPing, kLookup}, 0},
      {"wrong software id in the echo",
       {.hapticIndex = 0x0B, .wrongEcho = true},
       0,
       unanswered,
       200},
      {"error reports", {.hapticIndex = 0x0B, .errorReports = true}, 0, unanswered, 200},
      {"two unrelated reports first",
       {.hapticIndex = 0x0B, .noiseBefore = 2},
       1,
       {kPing, kLookup, pulse},
       0},
      // The answer comes fourth: three reads are all a request waits for.
      {"three unrelated reports first",
       {.hapticIndex = 0x0B, .noiseBefore = 3},
       0,
       unanswered,
       200},
      {"writes fail", {.hapticIndex = 0x0B, .writeFails = true}, 0, {}, 200},
      // A receiver with a haptic mouse in slot 2: its empty slots answer with errors at once.
      {"receiver with a paired device",
       {.hapticIndex = 0x0B, .receiver = true, .pairedSlots = 1 << 2},
       1,
       {kPing, kPing, kPing, SlotRequest(1, "00 f1 00 00 42"), SlotRequest(2, "00 f1 00 00 42"),
        SlotRequest(2, "00 f0 19 B0 00"), SlotRequest(2, "0B f4 2A 00 00"),
        SlotRequest(3, "00 f1 00 00 42"), SlotRequest(4, "00 f1 00 00 42"),
        SlotRequest(5, "00 f1 00 00 42"), SlotRequest(6, "00 f1 00 00 42")},
       200},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedBackend backend;
    backend.Add(Logitech("/dev/hidraw1"), row.behaviour);
    testing::FakeClock clock;
    HapticPulse haptic(backend, clock);
    EXPECT_EQ(haptic.Send(0x2A), row.pulses);
    EXPECT_EQ(Requests(backend.logs["/dev/hidraw1"]), row.requests);
    EXPECT_EQ(clock.sleptMilliseconds(), row.slept);
  }
}

TEST(HapticPulse, OnlyLogitechHidPlusPlusInterfacesWithLongReports) {
  ScriptedBackend backend;
  const Behaviour answers{.hapticIndex = 0x0B};
  backend.Add(Logitech("/dev/hidraw0", 2, 0xFF00), answers);
  backend.Add(Logitech("/dev/hidraw1", -1, 0xFF43), answers);
  backend.Add(Logitech("/dev/hidraw2", 1, 0x0001), answers);        // a keyboard's own interface
  backend.Add({"/dev/hidraw3", 0x046D, 0xFF00, 2, {7}}, answers);   // short reports only
  backend.Add({"/dev/hidraw4", 0x1234, 0xFF00, 2, {20}}, answers);  // another vendor
  testing::FakeClock clock;
  HapticPulse haptic(backend, clock);
  EXPECT_EQ(haptic.Send(0x2A), 2);
  EXPECT_EQ(backend.opened, (std::vector<std::string>{"/dev/hidraw0", "/dev/hidraw1"}));
  // The device index is 0xFF first, whatever the interface number.
  EXPECT_EQ(backend.logs["/dev/hidraw0"].requests.front()[1], 0xFF);
  EXPECT_EQ(backend.logs["/dev/hidraw1"].requests.front()[1], 0xFF);
}

// Silent devices (every read waits its whole time-out) cannot hold a pulse up beyond its
// deadline, however many there are.
TEST(HapticPulse, SilentDevicesEndAtTheDeadline) {
  testing::FakeClock clock;
  ScriptedBackend backend;
  for (const char* path : {"/dev/hidraw1", "/dev/hidraw2", "/dev/hidraw3"})
    backend.Add(Logitech(path), {.pingsIgnored = 99, .waitingClock = &clock});
  HapticPulse haptic(backend, clock);
  EXPECT_EQ(haptic.Send(0x2A), 0);
  EXPECT_LE(clock.MonotonicMilliseconds(), hidpp::kPulseDeadlineMs);
  EXPECT_GE(clock.MonotonicMilliseconds() + 500, hidpp::kPulseDeadlineMs);
  // The next pulse has a deadline of its own.
  const uint64_t before = clock.MonotonicMilliseconds();
  haptic.Send(0x2A);
  EXPECT_LE(clock.MonotonicMilliseconds() - before, hidpp::kPulseDeadlineMs);
}

// The check thread hands the pulse on and goes on; the devices are asked on another thread.
TEST(HapticPulse, TheBackgroundPulseRunsOnAThreadOfItsOwn) {
  ScriptedBackend backend;
  backend.Add(Logitech("/dev/hidraw1"), {.hapticIndex = 0x0B});
  testing::FakeClock clock;
  HapticPulse haptic(backend, clock);
  haptic.SendInBackground(kNoHapticFeedback);
  haptic.SendInBackground(0x2A);
  ASSERT_TRUE(haptic.WaitForBackground(20'000));
  EXPECT_EQ(Requests(backend.logs["/dev/hidraw1"]),
            (std::vector<std::string>{kPing, kLookup, "11 FF 0B f4 2A 00 00"}));
  EXPECT_EQ(backend.enumerations, 1);
}

TEST(HapticPulse, RemembersTheFeatureAndWrapsTheSoftwareId) {
  ScriptedBackend backend;
  backend.Add(Logitech("/dev/hidraw1"), {.hapticIndex = 0x0B});
  testing::FakeClock clock;
  HapticPulse haptic(backend, clock);
  for (int i = 0; i < 7; ++i)
    EXPECT_EQ(haptic.Send(0xFFFFFF05), 1);
  const DeviceLog& log = backend.logs["/dev/hidraw1"];
  // One lookup, then ping and pulse for each send: 3 + 6 * 2 requests.
  ASSERT_EQ(log.requests.size(), 15u);
  std::vector<int> softwareIds;
  for (const Report& request : log.requests)
    softwareIds.push_back(request[3] & 0x0F);
  EXPECT_EQ(softwareIds, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
  EXPECT_EQ(Requests(log)[3], kPing);
  EXPECT_EQ(log.requests[4][4], 0x05);  // the low byte of the setting is the effect
  haptic.Send(5);
  EXPECT_EQ(log.requests[15][3] & 0x0F, 1);  // wrapped from 15 to 1, never 0
}

TEST(HapticPulse, TheNoPulseSettingTouchesNoDevice) {
  ScriptedBackend backend;
  backend.Add(Logitech("/dev/hidraw1"), {.hapticIndex = 0x0B});
  testing::FakeClock clock;
  HapticPulse haptic(backend, clock);
  EXPECT_EQ(haptic.Send(kNoHapticFeedback), 0);
  EXPECT_EQ(backend.enumerations, 0);
}

TEST(HapticPulse, OutputReportLengthsFromDescriptors) {
  struct Row {
    const char* name;
    std::vector<uint8_t> descriptor;
    std::vector<std::size_t> lengths;
  };
  const Row rows[] = {
      {"short and long HID++ reports",
       {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x10, 0x75, 0x08, 0x95,
        0x06, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x09, 0x01, 0x81, 0x00, 0x09, 0x01,
        0x91, 0x00, 0xC0, 0x06, 0x00, 0xFF, 0x09, 0x02, 0xA1, 0x01, 0x85, 0x11,
        0x95, 0x13, 0x09, 0x02, 0x81, 0x00, 0x09, 0x02, 0x91, 0x00, 0xC0},
       {7, 20}},
      {"no report ids", {0x75, 0x08, 0x95, 0x40, 0x91, 0x02}, {64}},
      {"inputs only", {0x85, 0x01, 0x75, 0x08, 0x95, 0x13, 0x81, 0x00}, {}},
      {"a long item is skipped",
       {0xFE, 0x02, 0x10, 0x91, 0x91, 0x75, 0x08, 0x95, 0x02, 0x91, 0x00},
       {2}},
      {"cut inside an item", {0x75, 0x08, 0x96, 0x13}, {}},
      {"four-byte sizes are capped",
       {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x91, 0x00},
       {std::size_t{1} << 37}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(OutputReportLengths(row.descriptor), row.lengths);
  }
}

}  // namespace
}  // namespace tarvel
