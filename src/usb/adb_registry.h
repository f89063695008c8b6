// The ADB registry: the ADB device map (serial -> ADB record) of the Android USB driver's
// interfaces, the scan that refreshes it and the questions asked of it. The scan thread, the
// notification thread and host threads (QueryPhoneStatus) all use it.
#ifndef MOBILEINFO_USB_ADB_REGISTRY_H
#define MOBILEINFO_USB_ADB_REGISTRY_H

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "model/records.h"
#include "support/mutex.h"

namespace mobileinfo {

class AdbRegistry {
 public:
  explicit AdbRegistry(Platform& platform) : platform_(platform) {}
  AdbRegistry(const AdbRegistry&) = delete;
  AdbRegistry& operator=(const AdbRegistry&) = delete;

  // 1 when the enumeration ran to its end; 0 otherwise, with the error that stopped it in
  // last_adb_error().
  int ScanAdbInterfaces(const std::u16string& class_guid);
  // Refreshes the map, then tells the record's ADB status (0, 1 or 2) and writes it into the
  // record.
  uint32_t QueryAdbStatus(PhoneRecord& record);
  // Whether some ADB interface has the device's key or reports its serial (ignoring case).
  bool IsAdbDevice(const UsbDeviceRecord& device);
  uint32_t last_adb_error() const { return last_adb_error_; }

  // A copy of the ADB device map, and a map put in its place without a scan (tests).
  AdbMap Devices();
  void Replace(AdbMap devices);

 private:
  Platform& platform_;
  // The ADB lock: guards adb_devices_ and every ADB enumeration, driver requests included.
  Mutex adb_lock_;
  AdbMap adb_devices_ GUARDED_BY(adb_lock_);
  std::atomic<uint32_t> last_adb_error_{0};  // written under adb_lock_, read by anyone
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_USB_ADB_REGISTRY_H
