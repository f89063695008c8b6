// The ADB registry: the ADB device map (serial -> ADB record) of the Android USB driver's
// interfaces, the scan that refreshes it and the questions asked of it. The scan thread, the
// notification thread and host threads (QueryPhoneStatus) all use it.
#ifndef MOBILEINFO_USB_ADB_REGISTRY_H
#define MOBILEINFO_USB_ADB_REGISTRY_H

#include <atomic>
#include <cstdint>
#include <map>
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
  // The same answer from the map as the last scan left it, without a scan of its own: for a
  // caller that has just scanned and asks about several phones.
  uint32_t MatchAdbStatus(PhoneRecord& record);
  // Makes the next scan ask every active interface's driver for its serial again, for a caller
  // that saw devices come or go.
  void ForgetAdbSerials();
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
  // Interface path -> the serial its driver answered, for the interfaces listed active in every
  // scan since that answer. The driver answers the serial of the device behind the interface,
  // which does not change while the device stays plugged in, so a scan asks only interfaces
  // that are new, came back, or have not answered yet.
  std::map<std::u16string, std::u16string> answered_serials_ GUARDED_BY(adb_lock_);
  std::atomic<uint32_t> last_adb_error_{0};  // written under adb_lock_, read by anyone
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_USB_ADB_REGISTRY_H
