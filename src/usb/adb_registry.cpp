// The questions asked of the ADB device map: a phone's ADB status, and whether a USB device is an
// Android device.
#include "usb/adb_registry.h"

#include "support/text.h"

namespace mobileinfo {

uint32_t AdbRegistry::QueryAdbStatus(PhoneRecord& record) {
  ScanAdbInterfaces(kAdbInterfaceClass);
  return MatchAdbStatus(record);
}

uint32_t AdbRegistry::MatchAdbStatus(PhoneRecord& record) {
  const std::u16string key = FieldText(record.device_key);
  const std::u16string serial = FieldText(record.serial);

  // A record that matches no interface is told 0, whatever status it arrived with: a stale 2
  // would otherwise claim an ADB interface that does not exist.
  uint32_t status = 0;
  {
    MutexLock lock(&adb_lock_);
    for (const auto& entry : adb_devices_) {
      const AdbRecord& adb = entry.second;
      if (EqualsIgnoreCase(FieldText(adb.device_key), key)) {
        status = 1;
        if (adb.state == kAdbActive) {
          status = 2;
          break;
        }
      } else if (adb.state == kAdbActive && EqualsIgnoreCase(FieldText(adb.adb_serial), serial)) {
        status = 2;
        break;
      }
    }
  }
  record.adb_status = status;
  return status;
}

void AdbRegistry::ForgetAdbSerials() {
  MutexLock lock(&adb_lock_);
  answered_serials_.clear();
}

bool AdbRegistry::IsAdbDevice(const UsbDeviceRecord& device) {
  const std::u16string key = FieldText(device.device_key);
  const std::u16string serial = FieldText(device.serial);
  MutexLock lock(&adb_lock_);
  for (const auto& item : adb_devices_) {
    if (EqualsIgnoreCase(FieldText(item.second.device_key), key) ||
        EqualsIgnoreCase(FieldText(item.second.adb_serial), serial)) {
      return true;
    }
  }
  return false;
}

AdbMap AdbRegistry::Devices() {
  MutexLock lock(&adb_lock_);
  return adb_devices_;
}

void AdbRegistry::Replace(AdbMap devices) {
  MutexLock lock(&adb_lock_);
  adb_devices_.swap(devices);
}

}  // namespace mobileinfo
