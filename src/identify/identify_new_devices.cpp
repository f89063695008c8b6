// The identification pass over newly arrived devices, and the ADB test it uses.
//
// Locking: a pass runs its request, reading and delete under pass_reply_lock_: a scan thread
// abandoned by Stop may still be in a pass when the next run's scan thread starts one, and the
// service object keeps one getDriver download and reply file at a time. Each pass's reply file
// has a name of its own. RefreshDriverInfo never waits for a pass, nor a pass for it. The phone
// store and the ADB registry take their own locks. No two at once, so the pass first reads every
// section into local results and stores them afterwards, in entry order.
#include "identify/driver_info_reader.h"
#include "identify/reply_file.h"
#include "service/phone_record.h"
#include "service/service_core.h"
#include "service/sink_gate.h"
#include "support/debug_log.h"
#include "support/text.h"

namespace mobileinfo {

namespace {

// What the reading loop learnt about one driver lookup entry.
struct SectionResult {
  bool found = false;
  PhoneRecord record = ZeroPhoneRecord();  // the working record as stored, when found
};

}  // namespace

void ServiceCore::IdentifyNewDevices(const DeviceList& candidates, DeviceList& output,
                                     SinkGate* gate) {
  if (candidates.empty()) return;

  std::vector<DriverLookupEntry> lookup;
  std::vector<SectionResult> results;
  bool obtained = false;
  {
    std::lock_guard<std::mutex> reply_lock(pass_reply_lock_);
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
          if (!reader.ReadSection(FieldText(entry.driver_id), &working)) {
            MOBILEINFO_LOG(platform_, u"reply section %s missing or without Name",
                           FieldText(entry.driver_id).c_str());
            continue;
          }
          MOBILEINFO_LOG(platform_, u"reply section %s found: model %s",
                         FieldText(entry.driver_id).c_str(), FieldText(working.name).c_str());
          CopyField(working.device_key, FieldText(entry.device.device_key));
          CopyField(working.serial, FieldText(entry.device.serial));
          working.time_stamp = platform_.Now();
          results[i].found = true;
          results[i].record = working;
        }
      }
    }
    RemoveReplyFile(platform_, reply_path);
  }

  // Asked before the gate: the ADB lock may be held across a driver request that stalls.
  std::vector<bool> is_adb(obtained ? lookup.size() : candidates.size(), false);
  for (size_t i = 0; i < is_adb.size(); ++i) {
    if (!obtained) {
      is_adb[i] = adb.IsAdbDevice(candidates[i]);
    } else if (!results[i].found) {
      is_adb[i] = adb.IsAdbDevice(lookup[i].device);
    }
  }

  // A pass whose run was stopped meanwhile (its download outlived Stop's wait) is dropped whole.
  GateEntry entry(gate);
  if (!entry) {
    MOBILEINFO_LOG(platform_, u"identification dropped: its run has ended");
    return;
  }

  if (!obtained) {
    // The service could not be asked: Android devices are still phones, and the service hears
    // of them; everything else waits for its next arrival.
    for (size_t i = 0; i < candidates.size(); ++i) {
      const UsbDeviceRecord& candidate = candidates[i];
      const bool android = is_adb[i];
      MOBILEINFO_LOG(platform_,
                     android ? u"%s %s: no reply, published as an ADB device and reported"
                             : u"%s %s: no reply and no ADB interface, dropped until it comes back",
                     FieldText(candidate.device_key).c_str(), FieldText(candidate.serial).c_str());
      if (!android) continue;
      ReportUnidentifiedDevice(FieldText(candidate.device_key));
      output.push_back(candidate);
    }
    return;
  }

  // An ADB device without a section is published without model information and leaves the
  // maps alone; any other device without one marks its model unknown.
  std::vector<IdentifiedDevice> identified;
  for (size_t i = 0; i < lookup.size(); ++i) {
    MOBILEINFO_LOG(platform_,
                   results[i].found ? u"%s %s: identified, stored and cached"
                   : is_adb[i]      ? u"%s %s: unknown model with an ADB interface, published bare"
                                    : u"%s %s: unknown model, cached as no phone",
                   FieldText(lookup[i].device.device_key).c_str(),
                   FieldText(lookup[i].device.serial).c_str());
    if (!results[i].found && is_adb[i]) continue;
    IdentifiedDevice device;
    device.device_key = FieldText(lookup[i].device.device_key);
    device.serial = FieldText(lookup[i].device.serial);
    if (results[i].found) device.record = results[i].record;
    identified.push_back(std::move(device));
  }
  store.StoreIdentified(identified);
  for (size_t i = 0; i < lookup.size(); ++i) {
    if (results[i].found || is_adb[i]) output.push_back(lookup[i].device);
  }
}

}  // namespace mobileinfo
