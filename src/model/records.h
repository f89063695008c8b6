// The library's internal fixed-size records. Both are written raw to the device snapshot file or
// compared field by field with the host's phone record, so their layouts are fixed.
#ifndef MOBILEINFO_MODEL_RECORDS_H
#define MOBILEINFO_MODEL_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "mobileinfo/mobileinfo.h"

namespace mobileinfo {

// One USB device seen by the USB scan; the record format of "MobileInfo2.dat".
struct UsbDeviceRecord {
  int32_t storage_kind;      // 0 other, 1 mass storage, 2 composite
  char16_t device_key[32];   // VID_vvvv&PID_pppp, hex digits lower case
  char16_t serial[512];      // last component of the instance id
};
static_assert(sizeof(UsbDeviceRecord) == 1092, "USB device record size");
static_assert(offsetof(UsbDeviceRecord, device_key) == 4, "device key offset");
static_assert(offsetof(UsbDeviceRecord, serial) == 68, "serial offset");

constexpr int32_t kStorageOther = 0;
constexpr int32_t kStorageMass = 1;
constexpr int32_t kStorageComposite = 2;

// One ADB interface of the Android USB driver.
struct AdbRecord {
  char16_t device_key[32];   // as the interface path spells it (normally vid_vvvv&pid_pppp)
  char16_t adb_serial[512];  // what the driver's get-serial request answered; empty until then
  int32_t state;             // 1 registered but not active, 2 active
};
static_assert(sizeof(AdbRecord) == 1092, "ADB record size");
static_assert(offsetof(AdbRecord, adb_serial) == 64, "ADB serial offset");
static_assert(offsetof(AdbRecord, state) == 1088, "ADB state offset");

constexpr int32_t kAdbRegistered = 1;
constexpr int32_t kAdbActive = 2;

// The Android USB driver's device interface class.
inline const char16_t kAdbInterfaceClass[] = u"{F72FE0D4-CBCB-407D-8814-9ED673D0DD6B}";

// Maps are ordered by ordinal comparison of UTF-16 code units (wcscmp), which is
// std::u16string's own order.
using DeviceMap = std::map<std::u16string, UsbDeviceRecord>;
using DeviceList = std::vector<UsbDeviceRecord>;
using AdbMap = std::map<std::u16string, AdbRecord>;
using PhoneInfoMap = std::map<std::u16string, PhoneRecord>;
using ModelStatusMap = std::map<std::u16string, bool>;

}  // namespace mobileinfo

#endif  // MOBILEINFO_MODEL_RECORDS_H
