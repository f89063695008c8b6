#include "identify/driver_id.h"

namespace mobileinfo {

std::optional<VendorProduct> SplitDeviceKey(const std::u16string& device_key) {
  size_t vid = device_key.find(u"VID_");
  if (vid == std::u16string::npos) return std::nullopt;
  size_t pid = device_key.find(u"PID_");
  if (pid == std::u16string::npos) return std::nullopt;
  return VendorProduct{device_key.substr(vid + 4, 4), device_key.substr(pid + 4, 4)};
}

std::optional<std::u16string> DriverIdOf(const std::u16string& device_key) {
  std::optional<VendorProduct> ids = SplitDeviceKey(device_key);
  if (!ids) return std::nullopt;
  return ids->vendor + u"_" + ids->product;
}

}  // namespace mobileinfo
