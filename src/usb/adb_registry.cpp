// The questions asked of the ADB device map: a phone's ADB status, and whether a USB device is an
// Android device.
#include "usb/adb_registry.h"

#include "support/text.h"

namespace mobileinfo {

bool AdbRegistry::Stale() {
  return !listed_whole_ || changes_.load() != listed_changes_ ||
         platform_.TickCount() - listed_tick_ >= kListingBoundMs;
}

bool AdbRegistry::RefreshIfStale() {
  {
    MutexLock lock(&adb_lock_);
    if (!Stale()) return false;
  }
  // One such listing at a time: a caller that finds one under way waits for it and takes its
  // result instead of making its own.
  MutexLock listing(&listing_lock_);
  {
    MutexLock lock(&adb_lock_);
    if (!Stale()) return false;
  }
  ScanAdbInterfaces();
  return true;
}

void AdbRegistry::Reindex() {
  keys_.clear();
  serials_.clear();
  active_serials_.clear();
  for (const auto& entry : adb_devices_) {
    const AdbRecord& adb = entry.second;
    const bool active = adb.state == kAdbActive;
    keys_[FoldedKey(adb.device_key)] |= active;
    serials_.emplace(adb.adb_serial);
    if (active) active_serials_.emplace(adb.adb_serial);
  }
}

uint32_t AdbRegistry::QueryAdbStatus(PhoneRecord& record) {
  RefreshIfStale();
  return MatchAdbStatus(record);
}

uint32_t AdbRegistry::MatchAdbStatus(PhoneRecord& record) {
  const FoldedKey key(record.device_key);
  const FoldedKey serial(record.serial);

  // 2 when an active interface has the record's key or reports its serial, else 1 when an
  // interface with its key is registered. A record that matches no interface is told 0,
  // whatever status it arrived with: a stale 2 would otherwise claim an ADB interface that does
  // not exist.
  uint32_t status = 0;
  {
    MutexLock lock(&adb_lock_);
    auto found = keys_.find(key);
    if ((found != keys_.end() && found->second) || active_serials_.count(serial)) {
      status = 2;
    } else if (found != keys_.end()) {
      status = 1;
    }
  }
  record.adb_status = status;
  return status;
}

void AdbRegistry::ForgetAdbSerials() {
  NoteDeviceChange();
  MutexLock lock(&adb_lock_);
  answered_serials_.clear();
}

bool AdbRegistry::IsAdbDevice(const UsbDeviceRecord& device) {
  RefreshIfStale();
  const FoldedKey key(device.device_key);
  const FoldedKey serial(device.serial);
  MutexLock lock(&adb_lock_);
  return keys_.count(key) != 0 || serials_.count(serial) != 0;
}

AdbMap AdbRegistry::DevicesForTesting() {
  MutexLock lock(&adb_lock_);
  return adb_devices_;
}

void AdbRegistry::ReplaceForTesting(AdbMap devices) {
  MutexLock lock(&adb_lock_);
  adb_devices_.swap(devices);
  Reindex();
}

}  // namespace mobileinfo
