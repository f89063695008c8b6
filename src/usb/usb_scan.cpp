// The USB scan: the present USB devices as USB device records, compared with the previous scan.
#include <mutex>
#include <unordered_set>
#include <utility>
#include <vector>

#include "service/sink_gate.h"
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

// Arrivals: entries of current without a match in previous, in current's order; removals the
// other way round. Both lists are replaced only once both are complete.
void Diff(const DeviceMap& previous, const DeviceMap& current, DeviceList& arrivals_out,
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

}  // namespace

int DeviceTracker::ScanUsbDevices(SinkGate* gate) {
  DeviceMap scan;
  size_t listed = 0;
  {
    std::lock_guard<std::mutex> lock(enumeration_lock_);
    std::vector<PresentDevice> devices;
    if (!platform_.ListPresentDevices(devices)) {
      MOBILEINFO_LOG(platform_, u"scan abandoned: the device list could not be opened");
      return 0;
    }
    listed = devices.size();
    for (const PresentDevice& device : devices) {
      // An id that cannot be read abandons the scan: a diff of a partial list would report the
      // unread devices as removed.
      if (!device.instance_id || !InstanceIdFits(*device.instance_id)) {
        MOBILEINFO_LOG(platform_,
                       device.instance_id ? u"scan abandoned: an instance id is too long"
                                          : u"scan abandoned: an instance id could not be read");
        return 0;
      }
      UsbDeviceRecord record;
      if (!ParseInstanceId(*device.instance_id, device.description, record)) continue;
      scan[FieldText(record.serial)] = record;  // a later device with the same serial wins
    }
  }

  // A scan that ends after its run was stopped changes nothing: the next session starts from
  // what this one left.
  GateEntry entry(gate);
  if (!entry) {
    MOBILEINFO_LOG(platform_, u"scan dropped: its run has ended");
    return 0;
  }
  size_t arrivals = 0;
  size_t removals = 0;
  {
    std::lock_guard<std::mutex> lock(lock_);
    // DiffDevices on the maps themselves: it only reads them, so they need not be copied for it.
    Diff(present_devices_, scan, arrivals_, removals_);
    arrivals = arrivals_.size();
    removals = removals_.size();
  }
  MOBILEINFO_LOG(platform_, u"scan: %u devices listed, %u USB devices, %u arrivals, %u removals",
                 static_cast<unsigned>(listed), static_cast<unsigned>(scan.size()),
                 static_cast<unsigned>(arrivals), static_cast<unsigned>(removals));
  // The new map is still this scan's own: it is saved without a lock and without a copy, then
  // takes the old one's place. Nothing else changes the map meanwhile: the scan thread is its
  // only writer while the run's gate is open, and Init and ClearAndDestroy end the run first.
  WriteSnapshot(scan);
  std::lock_guard<std::mutex> lock(lock_);
  present_devices_.swap(scan);
  return 1;
}

void DeviceTracker::DiffDevices(DeviceMap previous, DeviceMap current) {
  std::lock_guard<std::mutex> lock(lock_);
  Diff(previous, current, arrivals_, removals_);
}

}  // namespace mobileinfo
