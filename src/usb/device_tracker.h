// The device tracker: the present-device map of the last completed USB scan, the USB scan that
// diffs the bus against it, and the device snapshot file "MobileInfo2.dat" (cache/device_snapshot.h)
// that keeps the map across restarts. The scan thread scans and makes the scan known; Init loads
// or empties, ClearAndDestroy empties.
#ifndef MOBILEINFO_USB_DEVICE_TRACKER_H
#define MOBILEINFO_USB_DEVICE_TRACKER_H

#include <string>
#include <vector>

#include "model/records.h"
#include "platform/host_files.h"
#include "platform/platform.h"
#include "support/mutex.h"

namespace mobileinfo {

// One completed USB scan, not yet made known: what the bus holds, and how it differs from the
// devices known when it ran.
struct UsbScan {
  DeviceMap devices;
  DeviceList arrivals;
  DeviceList removals;
};

// Arrivals: entries of current without a match (ignoring case) in previous, in current's order;
// removals the other way round.
void DiffDevices(const DeviceMap& previous, const DeviceMap& current, DeviceList& arrivals,
                 DeviceList& removals);

class DeviceTracker {
 public:
  // directory: where "MobileInfo2.dat" lives; null: beside the host.
  explicit DeviceTracker(Platform& platform, DataDirectory* directory = nullptr)
      : platform_(platform), directory_(directory) {}
  DeviceTracker(const DeviceTracker&) = delete;
  DeviceTracker& operator=(const DeviceTracker&) = delete;

  // The whole USB scan at once, without the scan thread: lists the present devices, diffs them
  // against the map into changes, replaces the map and saves the snapshot. False when the scan
  // was abandoned, the map then staying as it was.
  bool ScanUsbDevicesForTesting(UsbScan& changes);
  // The scan thread's form: lists the present devices and diffs them against the map, changing
  // nothing. The devices become known only as the changes are processed (Acknowledge...) and the
  // cycle ends (Complete), so a cycle cut short by Stop leaves its changes to the next session.
  // False when the scan was abandoned.
  bool Scan(UsbScan& scan);
  // Arrivals the host was told of, or that were settled without telling it.
  void AcknowledgeArrivals(const DeviceList& arrivals);
  // A removal the host was told of (or that a pending arrival report covers).
  void AcknowledgeRemoval(const UsbDeviceRecord& removed);
  // The end of a cycle that processed all its changes: the scan's devices replace the map, and
  // the snapshot is saved when they differ from what it holds.
  void Complete(DeviceMap devices);
  // Adds the snapshot file's records to the map (entries already there stay unless the file has
  // their serial).
  bool LoadDeviceSnapshot();
  // Saves the map when the file may not hold it. True when the file holds it.
  bool SaveDeviceSnapshot();

  // A copy of the known devices.
  DeviceMap PresentDevicesForTesting();
  void ClearPresentDevices();

  // Names the map's lock in the lock order of its users' locks; for annotations only (never
  // defined).
  Mutex& present_devices_lock() RETURN_CAPABILITY(lock_);

 private:
  // An entry of spare_, or a new one when none is left.
  DeviceMap::node_type SpareEntry() REQUIRES(enumeration_lock_);
  // Writes the map's records (in key order) as the snapshot file, without any lock held. True when
  // the file holds them.
  bool WriteSnapshot(const DeviceMap& records);

  Platform& platform_;
  DataDirectory* const directory_;
  // Held around the platform's USB enumeration and the building of the scan's map from it, never
  // together with lock_.
  Mutex enumeration_lock_;
  // The map the last Complete replaced. The next scan takes its entries (key and record storage)
  // for the devices it finds instead of allocating each anew: with a thousand devices that is
  // much of a rescan's cost, for the price of keeping one map's worth of memory between scans.
  DeviceMap spare_ GUARDED_BY(enumeration_lock_);
  Mutex lock_;
  // Serialises writers of the snapshot file (the scan thread, a run's end); never held with
  // lock_.
  Mutex snapshot_file_lock_;
  DeviceMap present_devices_ GUARDED_BY(lock_);
  // The snapshot file holds present_devices_ as it is: a scan that changes nothing writes nothing.
  bool snapshot_current_ GUARDED_BY(lock_) = false;
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_USB_DEVICE_TRACKER_H
