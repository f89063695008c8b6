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

constexpr size_t kSerialCapacity = sizeof(UsbDeviceRecord::serial) / sizeof(char16_t);

std::unordered_set<FoldedKey, FoldedKey::Hash> FoldedKeys(const DeviceMap& map) {
  std::unordered_set<FoldedKey, FoldedKey::Hash> keys;
  keys.reserve(map.size());
  for (const auto& entry : map) keys.emplace(entry.first);
  return keys;
}

// The entries whose key the other map holds in no letter case.
DeviceList Unmatched(const std::vector<const DeviceMap::value_type*>& candidates,
                     const DeviceMap& other) {
  DeviceList unmatched;
  if (candidates.empty()) return unmatched;
  const auto other_keys = FoldedKeys(other);
  for (const auto* entry : candidates) {
    if (!other_keys.count(FoldedKey(entry->first))) unmatched.push_back(entry->second);
  }
  return unmatched;
}

}  // namespace

// Both lists are replaced only once both are complete. Both maps are in the same order, so one
// walk over both pairs the keys they hold exactly, and only the rest (nothing, while the bus
// stays as it was) is looked for ignoring case.
void DiffDevices(const DeviceMap& previous, const DeviceMap& current, DeviceList& arrivals_out,
                 DeviceList& removals_out) {
  std::vector<const DeviceMap::value_type*> new_keys, gone_keys;
  auto before = previous.begin();
  auto now = current.begin();
  while (before != previous.end() || now != current.end()) {
    const int order = before == previous.end() ? 1
                      : now == current.end()   ? -1
                                               : before->first.compare(now->first);
    if (order <= 0) {
      if (order < 0) gone_keys.push_back(&*before);
      ++before;
    }
    if (order >= 0) {
      if (order > 0) new_keys.push_back(&*now);
      ++now;
    }
  }
  DeviceList arrivals = Unmatched(new_keys, previous);
  DeviceList removals = Unmatched(gone_keys, current);
  arrivals_out.swap(arrivals);
  removals_out.swap(removals);
}

DeviceMap::node_type DeviceTracker::SpareEntry() {
  if (spare_.empty()) spare_.emplace();
  return spare_.extract(spare_.begin());
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
    // Each device is parsed straight into the entry that joins the scan's map.
    DeviceMap::node_type entry;
    for (const PresentDevice& device : devices) {
      // An id that cannot be read abandons the scan: a diff of a partial list would report the
      // unread devices as removed.
      if (!device.instance_id || !InstanceIdFits(*device.instance_id)) {
        MOBILEINFO_LOG(platform_,
                       device.instance_id ? u"scan abandoned: an instance id is too long"
                                          : u"scan abandoned: an instance id could not be read");
        return false;
      }
      if (!entry) entry = SpareEntry();
      UsbDeviceRecord& record = entry.mapped();
      if (!ParseInstanceId(*device.instance_id, device.description, record)) continue;
      entry.key().assign(record.serial, BoundedLength(record.serial, kSerialCapacity));
      auto added = scan.insert(std::move(entry));
      if (!added.inserted) {
        added.position->second = added.node.mapped();  // a later device with the same serial wins
        entry = std::move(added.node);
      }
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

bool DeviceTracker::ScanUsbDevicesForTesting(UsbScan& changes) {
  UsbScan scan;
  if (!Scan(scan)) return false;
  changes.arrivals.swap(scan.arrivals);
  changes.removals.swap(scan.removals);
  Complete(std::move(scan.devices));
  return true;
}

}  // namespace mobileinfo
