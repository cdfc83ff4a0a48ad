#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace tarvel {

class Clock;

// A HID device as the enumeration describes it.
struct HidDeviceInfo {
  std::string path;
  uint16_t vendorId = 0;
  uint16_t usagePage = 0;
  int interfaceNumber = -1;  // -1 when the device has none
  // Lengths in bytes of the device's output reports, the report id byte included.
  std::vector<std::size_t> outputReportLengths;
};

// One opened HID device.
class HidDevice {
 public:
  virtual ~HidDevice() = default;
  // Writes one report (its first byte is the report id); false on failure or time-out.
  virtual bool Write(std::span<const uint8_t> report, uint32_t timeoutMs) = 0;
  // Reads one input report into `buffer`: its length, 0 on time-out, -1 on failure.
  virtual int Read(std::span<uint8_t> buffer, uint32_t timeoutMs) = 0;
};

// The HID devices of the machine.
class HidBackend {
 public:
  virtual ~HidBackend() = default;
  virtual std::vector<HidDeviceInfo> Enumerate(uint16_t vendorId) = 0;
  // Null when the device cannot be opened.
  virtual std::unique_ptr<HidDevice> Open(const std::string& path) = 0;
};

// The lengths of the output reports a HID report descriptor declares, report id byte
// included when the descriptor uses report ids. Malformed descriptors give what was read
// before the fault.
std::vector<std::size_t> OutputReportLengths(std::span<const uint8_t> descriptor);

// HID++ 2.0 long reports of Logitech devices.
namespace hidpp {
inline constexpr uint16_t kLogitechVendorId = 0x046D;
inline constexpr uint16_t kUsagePageShort = 0xFF00;
inline constexpr uint16_t kUsagePageLong = 0xFF43;
inline constexpr std::size_t kReportLength = 20;
inline constexpr uint8_t kLongReportId = 0x11;
// The index of a device on its own cable or receiver of its own; a receiver's paired devices
// answer at 1 to 6.
inline constexpr uint8_t kNoDeviceIndex = 0xFF;
inline constexpr uint8_t kFirstPairedIndex = 1;
inline constexpr uint8_t kLastPairedIndex = 6;
// Error reports: HID++ 2.0 (long report, feature index 0xFF) and HID++ 1.0 (sub id 0x8F).
inline constexpr uint8_t kErrorFeatureIndex = 0xFF;
inline constexpr uint8_t kErrorSubId = 0x8F;
inline constexpr uint8_t kPingMarker = 0x42;
inline constexpr uint16_t kHapticFeature = 0x19B0;
inline constexpr uint8_t kFunctionGetFeature = 0;
inline constexpr uint8_t kFunctionPing = 1;
inline constexpr uint8_t kFunctionPlayEffect = 4;
inline constexpr uint32_t kWriteTimeoutMs = 500;
inline constexpr uint32_t kReadTimeoutMs = 500;
inline constexpr int kReadsPerRequest = 3;
inline constexpr int kPingAttempts = 3;
inline constexpr uint32_t kPingRetryDelayMs = 100;
// One pulse, over every device and index, ends after this: a silent device cannot hold it up.
inline constexpr uint64_t kPulseDeadlineMs = 1500;
using Report = std::array<uint8_t, kReportLength>;
}  // namespace hidpp

// The value of `LogitechHapticFeedback` that means no pulse.
inline constexpr uint32_t kNoHapticFeedback = 0xFFFFFFFF;

// Sends a haptic effect to every Logitech device with the HID++ haptic feature: the device
// itself (index 0xFF), or when it does not answer there, the devices paired to it as a
// receiver (indexes 1 to 6). The feature's index is looked up once per device path and index
// and remembered for the run. A pulse ends within kPulseDeadlineMs.
class HapticPulse {
 public:
  HapticPulse(HidBackend& backend, Clock& clock) : backend_(backend), clock_(clock) {}
  // Waits for a pulse under way (bounded by its deadline).
  ~HapticPulse();
  HapticPulse(const HapticPulse&) = delete;
  HapticPulse& operator=(const HapticPulse&) = delete;

  // Sends the effect in the low byte of `feedbackSetting`; nothing when it is
  // kNoHapticFeedback. Returns the number of devices that accepted the pulse.
  int Send(uint32_t feedbackSetting);
  // The same on a thread of the pulse's own, so the caller (the check thread) never waits for
  // a device; a request while one is under way is sent after it, the newest only.
  void SendInBackground(uint32_t feedbackSetting);
  // Waits until no background pulse is pending or under way; false on time-out. For tests.
  bool WaitForBackground(uint32_t milliseconds);

 private:
  // One request and its answer: the first report within three reads whose bytes 0 to 3
  // match the request's; nothing when none does.
  std::optional<hidpp::Report> Exchange(HidDevice& device, uint8_t deviceIndex,
                                        uint8_t featureIndex, uint8_t function,
                                        std::span<const uint8_t> parameters);
  // `attempts` pings, kPingRetryDelayMs apart, until one is answered.
  bool Ping(HidDevice& device, uint8_t deviceIndex, int attempts);
  // The haptic feature's index; nothing when the device has none.
  std::optional<uint8_t> HapticFeatureIndex(const HidDeviceInfo& info, HidDevice& device,
                                            uint8_t deviceIndex);
  // Pings, looks up the feature and plays the effect at one index; true when it was played.
  bool PulseAt(const HidDeviceInfo& info, HidDevice& device, uint8_t deviceIndex, int pings,
               uint8_t effect);
  uint8_t NextSoftwareId();
  // What is left of the pulse's deadline, at most `limit` milliseconds; 0 once it has passed.
  uint32_t Remaining(uint32_t limit) const;
  void RunBackground();

  HidBackend& backend_;
  Clock& clock_;
  std::mutex mutex_;
  uint8_t softwareId_ = 0;
  uint64_t deadline_ = 0;
  std::map<std::pair<std::string, uint8_t>, std::optional<uint8_t>> featureIndexes_;

  // The background pulse.
  std::mutex backgroundMutex_;
  std::condition_variable backgroundChanged_;
  std::optional<uint32_t> pendingSetting_;
  bool backgroundBusy_ = false;
  bool stopping_ = false;
  std::thread background_;
};

}  // namespace tarvel
