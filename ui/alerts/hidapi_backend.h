#pragma once

#include "ui/alerts/haptic_pulse.h"

namespace tarvel {

// The machine's HID devices through hidapi's hidraw back end. Output report lengths come
// from the report descriptor the kernel publishes for each hidraw node.
class HidapiBackend : public HidBackend {
 public:
  HidapiBackend();
  ~HidapiBackend() override;
  HidapiBackend(const HidapiBackend&) = delete;
  HidapiBackend& operator=(const HidapiBackend&) = delete;

  std::vector<HidDeviceInfo> Enumerate(uint16_t vendorId) override;
  std::unique_ptr<HidDevice> Open(const std::string& path) override;

 private:
  bool initialised_ = false;
};

}  // namespace tarvel
