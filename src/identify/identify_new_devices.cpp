// The identification pass over newly arrived devices, and the ADB test it uses.
//
// Locking: the pass's reply file is its own (RefreshDriverInfo uses another) and only the scan
// thread runs passes, so it takes no lock; the maps are changed under cache_lock_ only;
// IsAdbDevice takes adb_lock_. No two at once, so the pass first reads every section into local
// results and applies them afterwards, in entry order.
#include "identify/driver_info_reader.h"
#include "service/phone_record.h"
#include "service/service.h"
#include "support/text.h"

namespace mobileinfo {

namespace {

// What the reading loop learnt about one driver lookup entry.
struct SectionResult {
  bool found = false;
  PhoneRecord record = ZeroPhoneRecord();  // the working record as stored, when found
};

}  // namespace

bool MobileInfoService::IsAdbDevice(const UsbDeviceRecord& device) {
  const std::u16string key = FieldText(device.device_key);
  const std::u16string serial = FieldText(device.serial);
  std::lock_guard<std::mutex> lock(adb_lock_);
  for (const auto& item : adb_devices_) {
    if (EqualsIgnoreCase(FieldText(item.second.device_key), key) ||
        EqualsIgnoreCase(FieldText(item.second.adb_serial), serial)) {
      return true;
    }
  }
  return false;
}

void MobileInfoService::IdentifyNewDevices(const DeviceList& candidates, DeviceList& output) {
  if (candidates.empty()) return;

  std::vector<DriverLookupEntry> lookup;
  std::vector<SectionResult> results;
  bool obtained = false;
  {
    std::u16string reply_path;
    obtained = RequestDriverInfo(candidates, reply_path, lookup);
    if (obtained) {
      if (!lookup.empty()) {
        // One working record for all entries: a success overwrites every field it stores.
        PhoneRecord working = ZeroPhoneRecord();
        DriverInfoReader reader(platform_, reply_path.c_str());
        results.resize(lookup.size());
        for (size_t i = 0; i < lookup.size(); ++i) {
          const DriverLookupEntry& entry = lookup[i];
          if (!reader.ReadSection(FieldText(entry.driver_id), &working)) continue;
          CopyField(working.device_key, FieldText(entry.device.device_key));
          CopyField(working.serial, FieldText(entry.device.serial));
          working.time_stamp = platform_.Now();
          results[i].found = true;
          results[i].record = working;
        }
      }
      if (platform_.FileExists(reply_path)) platform_.DeleteFile(reply_path);
    }
  }

  if (!obtained) {
    // The service could not be asked: Android devices are still phones, and the service hears
    // of them; everything else waits for its next arrival.
    for (const UsbDeviceRecord& candidate : candidates) {
      if (!IsAdbDevice(candidate)) continue;
      ReportUnidentifiedDevice(FieldText(candidate.device_key));
      output.push_back(candidate);
    }
    return;
  }

  // An ADB device without a section is published without model information and leaves the
  // maps alone; any other device without one marks its model unknown.
  std::vector<bool> is_adb(lookup.size(), false);
  for (size_t i = 0; i < lookup.size(); ++i) {
    if (!results[i].found) is_adb[i] = IsAdbDevice(lookup[i].device);
  }
  {
    std::lock_guard<std::mutex> cache_lock(cache_lock_);
    for (size_t i = 0; i < lookup.size(); ++i) {
      const std::u16string key = FieldText(lookup[i].device.device_key);
      if (results[i].found) {
        phone_info_[FieldText(lookup[i].device.serial)] = results[i].record;
        model_status_[key] = true;
      } else if (!is_adb[i]) {
        model_status_[key] = false;
      }
    }
  }
  for (size_t i = 0; i < lookup.size(); ++i) {
    if (results[i].found || is_adb[i]) output.push_back(lookup[i].device);
  }
}

}  // namespace mobileinfo
