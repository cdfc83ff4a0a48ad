#include "ui/alerts/haptic_pulse.h"

#include <algorithm>
#include <chrono>

#include "platform/clock.h"

namespace tarvel {

namespace {

// Short items of a report descriptor (HID 1.11, 6.2.2): tag and type in the prefix byte.
constexpr uint8_t kItemOutput = 0x90;
constexpr uint8_t kItemReportSize = 0x74;
constexpr uint8_t kItemReportId = 0x84;
constexpr uint8_t kItemReportCount = 0x94;
constexpr uint8_t kItemLongPrefix = 0xFE;
// Report sizes beyond this are no real device's; they are capped so the sums cannot wrap.
constexpr uint64_t kMaximumReportBits = 1u << 20;

}  // namespace

std::vector<std::size_t> OutputReportLengths(std::span<const uint8_t> descriptor) {
  std::map<uint32_t, uint64_t> bitsById;  // report id (0 without ids) -> output bits
  uint64_t reportSize = 0;
  uint64_t reportCount = 0;
  uint32_t reportId = 0;
  bool usesIds = false;
  std::size_t position = 0;
  while (position < descriptor.size()) {
    const uint8_t prefix = descriptor[position];
    if (prefix == kItemLongPrefix) {
      if (position + 1 >= descriptor.size())
        break;
      position += 3 + static_cast<std::size_t>(descriptor[position + 1]);
      continue;
    }
    const std::size_t dataSize = (prefix & 0x3) == 3 ? 4 : (prefix & 0x3);
    if (position + 1 + dataSize > descriptor.size())
      break;
    uint32_t data = 0;
    for (std::size_t i = 0; i < dataSize; ++i)
      data |= static_cast<uint32_t>(descriptor[position + 1 + i]) << (8 * i);
    switch (prefix & 0xFC) {
      case kItemReportSize:
        reportSize = std::min<uint64_t>(data, kMaximumReportBits);
        break;
      case kItemReportCount:
        reportCount = std::min<uint64_t>(data, kMaximumReportBits);
        break;
      case kItemReportId:
        reportId = data;
        usesIds = true;
        break;
      case kItemOutput: {
        uint64_t& bits = bitsById[reportId];
        bits = std::min(bits + reportSize * reportCount, kMaximumReportBits * kMaximumReportBits);
        break;
      }
      default:
        break;
    }
    position += 1 + dataSize;
  }
  std::vector<std::size_t> lengths;
  for (const auto& [id, bits] : bitsById) {
    static_cast<void>(id);
    lengths.push_back(static_cast<std::size_t>((bits + 7) / 8) + (usesIds ? 1 : 0));
  }
  return lengths;
}

uint8_t HapticPulse::NextSoftwareId() {
  softwareId_ = softwareId_ >= 15 ? 1 : static_cast<uint8_t>(softwareId_ + 1);
  return softwareId_;
}

HapticPulse::~HapticPulse() {
  {
    const std::lock_guard lock(backgroundMutex_);
    stopping_ = true;
    pendingSetting_.reset();
  }
  backgroundChanged_.notify_all();
  if (background_.joinable())
    background_.join();
}

void HapticPulse::SendInBackground(uint32_t feedbackSetting) {
  if (feedbackSetting == kNoHapticFeedback)
    return;
  {
    const std::lock_guard lock(backgroundMutex_);
    if (stopping_)
      return;
    pendingSetting_ = feedbackSetting;
    if (!background_.joinable())
      background_ = std::thread([this] { RunBackground(); });
  }
  backgroundChanged_.notify_all();
}

void HapticPulse::RunBackground() {
  std::unique_lock lock(backgroundMutex_);
  for (;;) {
    backgroundChanged_.wait(lock, [this] { return stopping_ || pendingSetting_.has_value(); });
    if (stopping_)
      return;
    const uint32_t setting = *pendingSetting_;
    pendingSetting_.reset();
    backgroundBusy_ = true;
    lock.unlock();
    Send(setting);
    lock.lock();
    backgroundBusy_ = false;
    backgroundChanged_.notify_all();
  }
}

bool HapticPulse::WaitForBackground(uint32_t milliseconds) {
  std::unique_lock lock(backgroundMutex_);
  return backgroundChanged_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] {
    return !backgroundBusy_ && !pendingSetting_.has_value();
  });
}

uint32_t HapticPulse::Remaining(uint32_t limit) const {
  const uint64_t now = clock_.MonotonicMilliseconds();
  if (now >= deadline_)
    return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(deadline_ - now, limit));
}

std::optional<hidpp::Report> HapticPulse::Exchange(HidDevice& device, uint8_t deviceIndex,
                                                   uint8_t featureIndex, uint8_t function,
                                                   std::span<const uint8_t> parameters) {
  hidpp::Report request{};
  request[0] = hidpp::kLongReportId;
  request[1] = deviceIndex;
  request[2] = featureIndex;
  request[3] = static_cast<uint8_t>((function << 4) | NextSoftwareId());
  std::copy_n(parameters.begin(), std::min<std::size_t>(parameters.size(), request.size() - 4),
              request.begin() + 4);
  const uint32_t writeTimeout = Remaining(hidpp::kWriteTimeoutMs);
  if (writeTimeout == 0 || !device.Write(request, writeTimeout))
    return std::nullopt;
  for (int attempt = 0; attempt < hidpp::kReadsPerRequest; ++attempt) {
    const uint32_t readTimeout = Remaining(hidpp::kReadTimeoutMs);
    if (readTimeout == 0)
      return std::nullopt;
    hidpp::Report response{};
    const int length = device.Read(response, readTimeout);
    if (length < 0)
      return std::nullopt;
    // An error report about this request (a receiver's empty slot says so at once): no
    // answer will follow.
    if (length >= 5 && response[1] == deviceIndex &&
        (response[2] == hidpp::kErrorFeatureIndex || response[2] == hidpp::kErrorSubId) &&
        response[3] == request[2] && response[4] == request[3]) {
      return std::nullopt;
    }
    // Bytes past what was read stay 0; a short report can still match on its first four.
    if (length >= 4 && std::equal(request.begin(), request.begin() + 4, response.begin()) &&
        response[2] != hidpp::kErrorFeatureIndex) {
      return response;
    }
  }
  return std::nullopt;
}

bool HapticPulse::Ping(HidDevice& device, uint8_t deviceIndex, int attempts) {
  const std::array<uint8_t, 3> parameters = {0, 0, hidpp::kPingMarker};
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (attempt > 0) {
      if (Remaining(hidpp::kPingRetryDelayMs) < hidpp::kPingRetryDelayMs)
        return false;
      clock_.SleepFor(hidpp::kPingRetryDelayMs);
    }
    const std::optional<hidpp::Report> answer =
        Exchange(device, deviceIndex, 0, hidpp::kFunctionPing, parameters);
    if (answer && (*answer)[6] == hidpp::kPingMarker)
      return true;
  }
  return false;
}

std::optional<uint8_t> HapticPulse::HapticFeatureIndex(const HidDeviceInfo& info, HidDevice& device,
                                                       uint8_t deviceIndex) {
  const auto key = std::make_pair(info.path, deviceIndex);
  if (const auto known = featureIndexes_.find(key); known != featureIndexes_.end())
    return known->second;
  const std::array<uint8_t, 2> parameters = {hidpp::kHapticFeature >> 8,
                                             hidpp::kHapticFeature & 0xFF};
  const std::optional<hidpp::Report> answer =
      Exchange(device, deviceIndex, 0, hidpp::kFunctionGetFeature, parameters);
  std::optional<uint8_t> index;
  if (answer && (*answer)[4] != 0 && (*answer)[4] != 0xFF)
    index = (*answer)[4];
  // A lookup cut short by the deadline is asked again next time.
  if (answer || Remaining(1) != 0)
    featureIndexes_[key] = index;
  return index;
}

bool HapticPulse::PulseAt(const HidDeviceInfo& info, HidDevice& device, uint8_t deviceIndex,
                          int pings, uint8_t effect) {
  if (!Ping(device, deviceIndex, pings))
    return false;
  const std::optional<uint8_t> feature = HapticFeatureIndex(info, device, deviceIndex);
  if (!feature)
    return false;
  const std::array<uint8_t, 1> parameters = {effect};
  return Exchange(device, deviceIndex, *feature, hidpp::kFunctionPlayEffect, parameters)
      .has_value();
}

int HapticPulse::Send(uint32_t feedbackSetting) {
  if (feedbackSetting == kNoHapticFeedback)
    return 0;
  const std::lock_guard lock(mutex_);
  deadline_ = clock_.MonotonicMilliseconds() + hidpp::kPulseDeadlineMs;
  const uint8_t effect = static_cast<uint8_t>(feedbackSetting & 0xFF);
  int pulses = 0;
  for (const HidDeviceInfo& info : backend_.Enumerate(hidpp::kLogitechVendorId)) {
    if (info.vendorId != hidpp::kLogitechVendorId)
      continue;
    if (info.usagePage != hidpp::kUsagePageShort && info.usagePage != hidpp::kUsagePageLong)
      continue;
    if (std::find(info.outputReportLengths.begin(), info.outputReportLengths.end(),
                  hidpp::kReportLength) == info.outputReportLengths.end()) {
      continue;
    }
    const std::unique_ptr<HidDevice> device = backend_.Open(info.path);
    if (!device)
      continue;
    // A device of its own answers at 0xFF; a receiver does not, and its paired devices
    // answer at their slots (an empty slot at once with an error).
    if (Ping(*device, hidpp::kNoDeviceIndex, hidpp::kPingAttempts)) {
      const std::optional<uint8_t> feature =
          HapticFeatureIndex(info, *device, hidpp::kNoDeviceIndex);
      const std::array<uint8_t, 1> parameters = {effect};
      if (feature && Exchange(*device, hidpp::kNoDeviceIndex, *feature, hidpp::kFunctionPlayEffect,
                              parameters))
        ++pulses;
      continue;
    }
    for (uint8_t index = hidpp::kFirstPairedIndex; index <= hidpp::kLastPairedIndex; ++index) {
      if (Remaining(1) == 0)
        break;
      if (PulseAt(info, *device, index, 1, effect))
        ++pulses;
    }
  }
  return pulses;
}

}  // namespace tarvel
