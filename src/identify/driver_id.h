// The short names of a device model that the web service understands: the vendor and product ids
// taken from a device key (VID_vvvv&PID_pppp), and the driver id vvvv_pppp formed from them.
#ifndef MOBILEINFO_IDENTIFY_DRIVER_ID_H
#define MOBILEINFO_IDENTIFY_DRIVER_ID_H

#include <cstddef>
#include <optional>
#include <string>

namespace mobileinfo {

// A device key this short cannot name a model; such candidates are not asked about.
constexpr size_t kMinDeviceKeyUnits = 17;

struct VendorProduct {
  std::u16string vendor;   // up to 4 units after the first "VID_"
  std::u16string product;  // up to 4 units after the first "PID_"
};

// The ids that follow the first "VID_" and the first "PID_" (case-sensitive), each cut to 4
// units or shorter where the key ends sooner. Nothing when either marker is missing.
std::optional<VendorProduct> SplitDeviceKey(const std::u16string& device_key);

// vendor + "_" + product, or nothing when either marker is missing.
std::optional<std::u16string> DriverIdOf(const std::u16string& device_key);

}  // namespace mobileinfo

#endif  // MOBILEINFO_IDENTIFY_DRIVER_ID_H
