// The USB scan: the present USB devices as USB device records, compared with the previous scan.
#include <mutex>
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

// The entries of one map whose key the other map holds in no letter case. Both maps are in the
// same order, so a single walk over both pairs the keys they hold exactly, and only the rest
// (nothing, while the bus stays as it was) is looked for ignoring case.
DeviceList Unmatched(const DeviceMap& from, const DeviceMap& other) {
  std::vector<const DeviceMap::value_type*> candidates;
  auto there = other.begin();
  for (const auto& entry : from) {
    while (there != other.end() && there->first < entry.first) ++there;
    if (there != other.end() && there->first == entry.first) continue;
    candidates.push_back(&entry);
  }
  DeviceList unmatched;
  if (candidates.empty()) return unmatched;
  const std::unordered_set<std::u16string> other_keys = FoldedKeys(other);
  for (const auto* entry : candidates) {
    if (!other_keys.count(LowerAscii(entry->first))) unmatched.push_back(entry->second);
  }
  return unmatched;
}

// Arrivals: entries of current without a match in previous, in current's order; removals the
// other way round. Both lists are replaced only once both are complete.
void Diff(const DeviceMap& previous, const DeviceMap& current, DeviceList& arrivals_out,
          DeviceList& removals_out) {
  DeviceList arrivals = Unmatched(current, previous);
  DeviceList removals = Unmatched(previous, current);
  arrivals_out.swap(arrivals);
  removals_out.swap(removals);
}

}  // namespace

bool DeviceTracker::Scan(UsbScan& result) {
  DeviceMap scan;
  size_t listed = 0;
  {
    std::lock_guard<std::mutex> lock(enumeration_lock_);
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
      // A later device with the same serial wins. Made from the record itself: a default entry
      // would first be zeroed, and the scan makes one entry for every device each time.
      scan.insert_or_assign(FieldText(record.serial), record);
    }
  }
  {
    std::lock_guard<std::mutex> lock(lock_);
    // DiffDevices on the maps themselves: it only reads them, so they need not be copied for it.
    Diff(present_devices_, scan, result.arrivals, result.removals);
  }
  MOBILEINFO_LOG(platform_, u"scan: %u devices listed, %u USB devices, %u arrivals, %u removals",
                 static_cast<unsigned>(listed), static_cast<unsigned>(scan.size()),
                 static_cast<unsigned>(result.arrivals.size()),
                 static_cast<unsigned>(result.removals.size()));
  result.devices.swap(scan);
  return true;
}

int DeviceTracker::ScanUsbDevices() {
  UsbScan scan;
  if (!Scan(scan)) return 0;
  {
    std::lock_guard<std::mutex> lock(lock_);
    arrivals_.swap(scan.arrivals);
    removals_.swap(scan.removals);
  }
  Complete(std::move(scan.devices));
  return 1;
}

void DeviceTracker::DiffDevices(DeviceMap previous, DeviceMap current) {
  std::lock_guard<std::mutex> lock(lock_);
  Diff(previous, current, arrivals_, removals_);
}

}  // namespace mobileinfo
