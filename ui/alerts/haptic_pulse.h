#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
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
inline constexpr uint8_t kNoDeviceIndex = 0xFF;
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
using Report = std::array<uint8_t, kReportLength>;
}  // namespace hidpp

// The value of `LogitechHapticFeedback` that means no pulse.
inline constexpr uint32_t kNoHapticFeedback = 0xFFFFFFFF;

// Sends a haptic effect to every Logitech device with the HID++ haptic feature. The feature's
// index is looked up once per device path and remembered for the run.
class HapticPulse {
 public:
  HapticPulse(HidBackend& backend, Clock& clock) : backend_(backend), clock_(clock) {}

  // Sends the effect in the low byte of `feedbackSetting`; nothing when it is
  // kNoHapticFeedback. Returns the number of devices that accepted the pulse.
  int Send(uint32_t feedbackSetting);

 private:
  // One request and its answer: the first report within three reads whose bytes 0 to 3
  // match the request's; nothing when none does.
  std::optional<hidpp::Report> Exchange(HidDevice& device, uint8_t deviceIndex,
                                        uint8_t featureIndex, uint8_t function,
                                        std::span<const uint8_t> parameters);
  bool Ping(HidDevice& device, uint8_t deviceIndex);
  // The haptic feature's index; nothing when the device has none.
  std::optional<uint8_t> HapticFeatureIndex(const HidDeviceInfo& info, HidDevice& device,
                                            uint8_t deviceIndex);
  uint8_t NextSoftwareId();

  HidBackend& backend_;
  Clock& clock_;
  std::mutex mutex_;
  uint8_t softwareId_ = 0;
  std::map<std::string, std::optional<uint8_t>> featureIndexes_;
};

}  // namespace tarvel
