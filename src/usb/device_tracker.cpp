// Handing the scan's changes to the scan thread, and emptying the tracker for Init and
// ClearAndDestroy.
#include "usb/device_tracker.h"

namespace mobileinfo {

bool DeviceTracker::HasChanges() {
  std::lock_guard<std::mutex> lock(lock_);
  return !arrivals_.empty() || !removals_.empty();
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
