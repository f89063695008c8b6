// Making a scan's changes known as the scan thread processes them, handing the host form's lists
// over, and emptying the tracker for Init and ClearAndDestroy.
#include "usb/device_tracker.h"

#include "support/text.h"

namespace mobileinfo {

void DeviceTracker::AcknowledgeArrivals(const DeviceList& arrivals) {
  std::lock_guard<std::mutex> lock(lock_);
  for (const UsbDeviceRecord& record : arrivals) present_devices_[FieldText(record.serial)] = record;
}

void DeviceTracker::AcknowledgeRemoval(const UsbDeviceRecord& removed) {
  std::lock_guard<std::mutex> lock(lock_);
  // A removal is the known map's own entry, under its own key; a phone listed from an earlier
  // session that the map never held erases nothing.
  present_devices_.erase(FieldText(removed.serial));
}

void DeviceTracker::Complete(DeviceMap devices) {
  // The map is still the cycle's own: saved without a lock and without a copy, then it takes
  // the old one's place.
  WriteSnapshot(devices);
  {
    std::lock_guard<std::mutex> lock(lock_);
    present_devices_.swap(devices);
  }
  std::lock_guard<std::mutex> lock(enumeration_lock_);
  spare_.swap(devices);
}

DeviceList DeviceTracker::TakeArrivals() {
  DeviceList taken;
  std::lock_guard<std::mutex> lock(lock_);
  taken.swap(arrivals_);
  return taken;
}

DeviceList DeviceTracker::TakeRemovals() {
  DeviceList taken;
  std::lock_guard<std::mutex> lock(lock_);
  taken.swap(removals_);
  return taken;
}

void DeviceTracker::ClearPresentDevices() {
  std::lock_guard<std::mutex> lock(lock_);
  present_devices_.clear();
}

void DeviceTracker::ClearChanges() {
  std::lock_guard<std::mutex> lock(lock_);
  arrivals_.clear();
  removals_.clear();
}

}  // namespace mobileinfo
