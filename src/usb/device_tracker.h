// The device tracker: the present-device map of the last completed USB scan, the arrival and
// removal lists that the scan's diff fills, and the device snapshot file "MobileInfo2.dat" that
// keeps the map across restarts. The scan thread scans and takes the lists; Init loads and
// empties, ClearAndDestroy empties.
#ifndef MOBILEINFO_USB_DEVICE_TRACKER_H
#define MOBILEINFO_USB_DEVICE_TRACKER_H

#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "service/records.h"

namespace mobileinfo {

class SinkGate;

class DeviceTracker {
 public:
  explicit DeviceTracker(Platform& platform) : platform_(platform) {}
  DeviceTracker(const DeviceTracker&) = delete;
  DeviceTracker& operator=(const DeviceTracker&) = delete;

  // Lists the present devices, diffs them against the map into the arrival and removal lists,
  // replaces the map and saves the snapshot. A scan thread passes its run's gate: once the gate
  // is closed the scan changes nothing and writes no file.
  int ScanUsbDevices(SinkGate* gate = nullptr);
  void DiffDevices(DeviceMap previous, DeviceMap current);
  // Adds the snapshot file's records to the map (entries already there stay unless the file has
  // their serial).
  int LoadDeviceSnapshot();
  int SaveDeviceSnapshot();

  bool HasChanges();
  DeviceList TakeArrivals();
  DeviceList TakeRemovals();
  void ClearPresentDevices();
  void ClearChanges();

 private:
  friend struct ServicePeer;  // tests
  // Writes the map's records (in key order) as the snapshot file, without any lock held.
  int WriteSnapshot(const DeviceMap& records);

  Platform& platform_;
  // Held around the platform's USB enumeration only, never together with lock_.
  std::mutex enumeration_lock_;
  std::mutex lock_;  // guards present_devices_, arrivals_ and removals_
  DeviceMap present_devices_;
  DeviceList arrivals_;
  DeviceList removals_;
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_USB_DEVICE_TRACKER_H
