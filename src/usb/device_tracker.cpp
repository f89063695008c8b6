// Making a scan's changes known as the scan thread processes them, the snapshot file's load and
// save, and emptying the tracker for Init and ClearAndDestroy.
#include "usb/device_tracker.h"

#include <algorithm>
#include <cstring>

#include "cache/device_snapshot.h"
#include "platform/host_files.h"
#include "support/text.h"

namespace mobileinfo {

namespace {

// Whether the file would hold the same bytes for both maps.
bool SameDevices(const DeviceMap& a, const DeviceMap& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](const auto& x, const auto& y) {
           return x.first == y.first && std::memcmp(&x.second, &y.second, sizeof(x.second)) == 0;
         });
}

}  // namespace

void DeviceTracker::AcknowledgeArrivals(const DeviceList& arrivals) {
  MutexLock lock(&lock_);
  for (const UsbDeviceRecord& record : arrivals) present_devices_[FieldText(record.serial)] = record;
  if (!arrivals.empty()) snapshot_current_ = false;
}

void DeviceTracker::AcknowledgeRemoval(const UsbDeviceRecord& removed) {
  MutexLock lock(&lock_);
  // A removal is the known map's own entry, under its own key; a phone listed from an earlier
  // session that the map never held erases nothing.
  if (present_devices_.erase(FieldText(removed.serial))) snapshot_current_ = false;
}

void DeviceTracker::Complete(DeviceMap devices) {
  bool current;
  {
    MutexLock lock(&lock_);
    current = snapshot_current_ && SameDevices(devices, present_devices_);
  }
  // The map is still the cycle's own: saved without a lock and without a copy, then it takes
  // the old one's place.
  if (!current) current = WriteSnapshot(devices);
  {
    MutexLock lock(&lock_);
    present_devices_.swap(devices);
    snapshot_current_ = current;
  }
  MutexLock lock(&enumeration_lock_);
  spare_.swap(devices);
}

bool DeviceTracker::SaveDeviceSnapshot() {
  DeviceMap copy;
  {
    MutexLock lock(&lock_);
    if (snapshot_current_) return true;
    copy = present_devices_;
  }
  const bool written = WriteSnapshot(copy);
  MutexLock lock(&lock_);
  // Saved as it was when copied: a change meanwhile makes the file stale again.
  if (written && SameDevices(copy, present_devices_)) snapshot_current_ = true;
  return written;
}

bool DeviceTracker::WriteSnapshot(const DeviceMap& records) {
  MutexLock lock(&snapshot_file_lock_);
  return WriteDeviceSnapshot(platform_, DataFilePath(platform_, directory_, kDeviceSnapshotName),
                             records);
}

bool DeviceTracker::LoadDeviceSnapshot() {
  // Read whole before the map takes it: the file's distinct serials, no more, are in memory.
  DeviceMap loaded;
  const RecordFileRead result = ReadDeviceSnapshot(
      platform_, DataFilePath(platform_, directory_, kDeviceSnapshotName), loaded);
  MutexLock lock(&lock_);
  // The file holds the map only when the map was empty and the whole file was read.
  snapshot_current_ = present_devices_.empty() && result == RecordFileRead::kWhole;
  loaded.merge(present_devices_);  // the file's records replace the map's of the same serial
  present_devices_.swap(loaded);
  return result == RecordFileRead::kWhole;
}

DeviceMap DeviceTracker::PresentDevicesForTesting() {
  MutexLock lock(&lock_);
  return present_devices_;
}

void DeviceTracker::ClearPresentDevices() {
  MutexLock lock(&lock_);
  present_devices_.clear();
  snapshot_current_ = false;  // the file is left as it is, whatever it holds
}

}  // namespace mobileinfo
