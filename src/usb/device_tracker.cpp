// Making a scan's changes known as the scan thread processes them, the snapshot file's load and
// save, and emptying the tracker for Init and ClearAndDestroy.
#include "usb/device_tracker.h"

#include "cache/device_snapshot.h"
#include "platform/host_files.h"
#include "support/text.h"

namespace mobileinfo {

void DeviceTracker::AcknowledgeArrivals(const DeviceList& arrivals) {
  MutexLock lock(&lock_);
  for (const UsbDeviceRecord& record : arrivals) present_devices_[FieldText(record.serial)] = record;
}

void DeviceTracker::AcknowledgeRemoval(const UsbDeviceRecord& removed) {
  MutexLock lock(&lock_);
  // A removal is the known map's own entry, under its own key; a phone listed from an earlier
  // session that the map never held erases nothing.
  present_devices_.erase(FieldText(removed.serial));
}

void DeviceTracker::Complete(DeviceMap devices) {
  // The map is still the cycle's own: saved without a lock and without a copy, then it takes
  // the old one's place.
  WriteSnapshot(devices);
  {
    MutexLock lock(&lock_);
    present_devices_.swap(devices);
  }
  MutexLock lock(&enumeration_lock_);
  spare_.swap(devices);
}

int DeviceTracker::SaveDeviceSnapshot() {
  DeviceMap copy;
  {
    MutexLock lock(&lock_);
    copy = present_devices_;
  }
  return WriteSnapshot(copy);
}

int DeviceTracker::WriteSnapshot(const DeviceMap& records) {
  MutexLock lock(&snapshot_file_lock_);
  return WriteDeviceSnapshot(platform_, DataFilePath(platform_, directory_, kDeviceSnapshotName), records);
}

int DeviceTracker::LoadDeviceSnapshot() {
  // Read whole before the map takes it: the file's distinct serials, no more, are in memory.
  DeviceMap loaded;
  const int result =
      ReadDeviceSnapshot(platform_, DataFilePath(platform_, directory_, kDeviceSnapshotName), loaded);
  MutexLock lock(&lock_);
  if (present_devices_.empty()) {
    present_devices_.swap(loaded);
  } else {
    for (auto& entry : loaded) present_devices_[entry.first] = std::move(entry.second);
  }
  return result;
}

DeviceMap DeviceTracker::PresentDevices() {
  MutexLock lock(&lock_);
  return present_devices_;
}

void DeviceTracker::ClearPresentDevices() {
  MutexLock lock(&lock_);
  present_devices_.clear();
}

}  // namespace mobileinfo
