// The USB scan: the present USB devices as USB device records, compared with the previous scan.
#include <unordered_set>
#include <utility>
#include <vector>

#include "support/debug_log.h"
#include "support/text.h"
#include "usb/device_tracker.h"
#include "usb/instance_id.h"

namespace mobileinfo {

namespace {

// The keys of a map folded to lower case (A-Z only). Two serials are equal ignoring case exactly
// when their folded forms are equal, so a set lookup gives the same answer as comparing with
// every key; keys that fold to one text simply share one entry.
std::unordered_set<std::u16string> FoldedKeys(const DeviceMap& map) {
  std::unordered_set<std::u16string> keys;
  keys.reserve(map.size());
  for (const auto& entry : map) keys.insert(LowerAscii(entry.first));
  return keys;
}

}  // namespace

// Both lists are replaced only once both are complete.
void DiffDevices(const DeviceMap& previous, const DeviceMap& current, DeviceList& arrivals_out,
                 DeviceList& removals_out) {
  const std::unordered_set<std::u16string> previous_keys = FoldedKeys(previous);
  const std::unordered_set<std::u16string> current_keys = FoldedKeys(current);
  DeviceList arrivals;
  for (const auto& entry : current) {
    if (!previous_keys.count(LowerAscii(entry.first))) arrivals.push_back(entry.second);
  }
  DeviceList removals;
  for (const auto& entry : previous) {
    if (!current_keys.count(LowerAscii(entry.first))) removals.push_back(entry.second);
  }
  arrivals_out.swap(arrivals);
  removals_out.swap(removals);
}

bool DeviceTracker::Scan(UsbScan& result) {
  DeviceMap scan;
  size_t listed = 0;
  {
    MutexLock lock(&enumeration_lock_);
    std::vector<PresentDevice> devices;
    if (!platform_.ListPresentDevices(devices)) {
      MOBILEINFO_LOG(platform_, u"scan abandoned: the device list could not be opened");
      return false;
    }
    listed = devices.size();
    for (const PresentDevice& device : devices) {
      // An id that cannot be read abandons the scan: a diff of a partial list would report the
      // unread devices as removed.
      if (!device.instance_id || !InstanceIdFits(*device.instance_id)) {
        MOBILEINFO_LOG(platform_,
                       device.instance_id ? u"scan abandoned: an instance id is too long"
                                          : u"scan abandoned: an instance id could not be read");
        return false;
      }
      UsbDeviceRecord record;
      if (!ParseInstanceId(*device.instance_id, device.description, record)) continue;
      scan[FieldText(record.serial)] = record;  // a later device with the same serial wins
    }
  }
  {
    MutexLock lock(&lock_);
    // The diff only reads the maps, so they need not be copied for it.
    DiffDevices(present_devices_, scan, result.arrivals, result.removals);
  }
  MOBILEINFO_LOG(platform_, u"scan: %u devices listed, %u USB devices, %u arrivals, %u removals",
                 static_cast<unsigned>(listed), static_cast<unsigned>(scan.size()),
                 static_cast<unsigned>(result.arrivals.size()),
                 static_cast<unsigned>(result.removals.size()));
  result.devices.swap(scan);
  return true;
}

int DeviceTracker::ScanUsbDevices(UsbScan& changes) {
  UsbScan scan;
  if (!Scan(scan)) return 0;
  changes.arrivals.swap(scan.arrivals);
  changes.removals.swap(scan.removals);
  Complete(std::move(scan.devices));
  return 1;
}

}  // namespace mobileinfo
