#include "ui/alerts/hidapi_backend.h"

#include <hidapi/hidapi.h>

#include <fstream>
#include <iterator>

namespace tarvel {

namespace {

// Report descriptors are at most 4096 bytes (HID_MAX_DESCRIPTOR_SIZE of the kernel).
constexpr std::size_t kMaximumDescriptorBytes = 4096;

// "/dev/hidraw3" -> "/sys/class/hidraw/hidraw3/device/report_descriptor".
std::vector<uint8_t> ReportDescriptor(const std::string& devicePath) {
  const std::size_t slash = devicePath.rfind('/');
  const std::string node = slash == std::string::npos ? devicePath : devicePath.substr(slash + 1);
  if (node.rfind("hidraw", 0) != 0 || node.find("..") != std::string::npos)
    return {};
  std::ifstream file("/sys/class/hidraw/" + node + "/device/report_descriptor", std::ios::binary);
  std::vector<uint8_t> bytes;
  char byte = 0;
  while (bytes.size() < kMaximumDescriptorBytes && file.get(byte))
    bytes.push_back(static_cast<uint8_t>(byte));
  return bytes;
}

class HidapiDevice : public HidDevice {
 public:
  explicit HidapiDevice(hid_device* device) : device_(device) {}
  ~HidapiDevice() override { hid_close(device_); }
  HidapiDevice(const HidapiDevice&) = delete;
  HidapiDevice& operator=(const HidapiDevice&) = delete;

  // hidraw writes do not wait for the device beyond the kernel's own queue, so the write
  // needs no time-out of its own.
  bool Write(std::span<const uint8_t> report, uint32_t) override {
    return hid_write(device_, report.data(), report.size()) == static_cast<int>(report.size());
  }
  int Read(std::span<uint8_t> buffer, uint32_t timeoutMs) override {
    return hid_read_timeout(device_, buffer.data(), buffer.size(), static_cast<int>(timeoutMs));
  }

 private:
  hid_device* device_;
};

}  // namespace

HidapiBackend::HidapiBackend() : initialised_(hid_init() == 0) {}

HidapiBackend::~HidapiBackend() {
  if (initialised_)
    hid_exit();
}

std::vector<HidDeviceInfo> HidapiBackend::Enumerate(uint16_t vendorId) {
  std::vector<HidDeviceInfo> devices;
  if (!initialised_)
    return devices;
  hid_device_info* list = hid_enumerate(vendorId, 0);
  for (const hid_device_info* entry = list; entry; entry = entry->next) {
    if (!entry->path)
      continue;
    HidDeviceInfo info;
    info.path = entry->path;
    info.vendorId = entry->vendor_id;
    info.usagePage = entry->usage_page;
    info.interfaceNumber = entry->interface_number;
    info.outputReportLengths = OutputReportLengths(ReportDescriptor(info.path));
    devices.push_back(std::move(info));
  }
  hid_free_enumeration(list);
  return devices;
}

std::unique_ptr<HidDevice> HidapiBackend::Open(const std::string& path) {
  if (!initialised_)
    return nullptr;
  hid_device* device = hid_open_path(path.c_str());
  if (!device)
    return nullptr;
  return std::make_unique<HidapiDevice>(device);
}

}  // namespace tarvel
