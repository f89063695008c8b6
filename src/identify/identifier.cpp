// The identification pass over arrivals, its getDriver request, and the report of Android devices
// the service could not be asked about.
#include "identify/identifier.h"

#include <cstring>
#include <memory>

#include "identify/driver_id.h"
#include "identify/driver_info_reader.h"
#include "identify/reply_file.h"
#include "model/phone_record.h"
#include "net/net.h"
#include "support/debug_log.h"
#include "support/text.h"
#include "support/wide_string.h"

namespace mobileinfo {

std::u16string GetDriverUrlStart(const std::u16string& service_base, int32_t os_code,
                                 int32_t bitness_code) {
  const std::u16string base = service_base + u"/intf/getDriver";
  WideString url;
  url.Format(u"%s?os=%d&bit=%d&id=", base.c_str(), os_code, bitness_code);
  return url.ToU16();
}

Identifier::Identifier(Platform& platform, PhoneStore& store, AdbRegistry& adb,
                       std::u16string service_base, uint32_t download_limit_ms,
                       uint32_t refresh_limit_ms)
    : platform_(platform),
      store_(store),
      adb_(adb),
      service_base_(std::move(service_base)),
      download_limit_ms_(download_limit_ms),
      refresh_limit_ms_(refresh_limit_ms) {}

void Identifier::SetSystem(int32_t os_code, int32_t bitness_code) {
  os_code_ = os_code;
  bitness_code_ = bitness_code;
}

IdentificationPass Identifier::Prepare(const DeviceList& arrivals) {
  IdentificationPass pass;
  for (const UsbDeviceRecord& record : arrivals) {
    if (store_.IsKnownPhoneSerial(FieldText(record.serial))) {
      MOBILEINFO_LOG(platform_, u"arrival %s %s: known serial, published from the cache",
                     FieldText(record.device_key).c_str(), FieldText(record.serial).c_str());
      pass.known.push_back(record);
    } else if (!store_.IsRejectedModel(FieldText(record.device_key))) {
      MOBILEINFO_LOG(platform_, u"arrival %s %s: candidate for identification",
                     FieldText(record.device_key).c_str(), FieldText(record.serial).c_str());
      pass.candidates.push_back(record);
    } else {
      MOBILEINFO_LOG(platform_, u"arrival %s %s: dropped, the model is known to be no phone",
                     FieldText(record.device_key).c_str(), FieldText(record.serial).c_str());
    }
  }
  AskAbout(pass);
  return pass;
}

void Identifier::IdentifyNewDevicesForTesting(const DeviceList& candidates, DeviceList& output) {
  IdentificationPass pass;
  pass.candidates = candidates;
  AskAbout(pass);
  Commit(pass, output);
}

void Identifier::AskAbout(IdentificationPass& pass) {
  if (pass.candidates.empty()) return;
  {
    MutexLock reply_lock(&pass_reply_lock_);
    std::u16string reply_path;
    pass.obtained = RequestDriverInfo(pass.candidates, reply_path, pass.lookup);
    if (pass.obtained && !pass.lookup.empty()) {
      // One working record for all entries: a success overwrites every field it stores.
      PhoneRecord working = ZeroPhoneRecord();
      DriverInfoReader reader(platform_, reply_path.c_str());
      pass.sections.resize(pass.lookup.size());
      for (size_t i = 0; i < pass.lookup.size(); ++i) {
        const DriverLookupEntry& entry = pass.lookup[i];
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
        pass.sections[i].found = true;
        pass.sections[i].record = working;
      }
    }
    RemoveReplyFile(platform_, reply_path);
  }

  // Asked here, before the caller's commit: the ADB lock may be held across a driver request that
  // stalls, and a run's commit must stay short.
  pass.is_adb.assign(pass.obtained ? pass.lookup.size() : pass.candidates.size(), false);
  for (size_t i = 0; i < pass.is_adb.size(); ++i) {
    if (!pass.obtained) {
      pass.is_adb[i] = adb_.IsAdbDevice(pass.candidates[i]);
    } else if (!pass.sections[i].found) {
      pass.is_adb[i] = adb_.IsAdbDevice(pass.lookup[i].device);
    }
  }
}

void Identifier::Commit(const IdentificationPass& pass, DeviceList& output) {
  output.insert(output.end(), pass.known.begin(), pass.known.end());
  if (pass.candidates.empty()) return;

  if (!pass.obtained) {
    // The service could not be asked: Android devices are still phones, and the service hears
    // of them; everything else waits for its next arrival.
    for (size_t i = 0; i < pass.candidates.size(); ++i) {
      const UsbDeviceRecord& candidate = pass.candidates[i];
      const bool android = pass.is_adb[i];
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
  for (size_t i = 0; i < pass.lookup.size(); ++i) {
    const IdentificationPass::Section& section = pass.sections[i];
    MOBILEINFO_LOG(platform_,
                   section.found    ? u"%s %s: identified, stored and cached"
                   : pass.is_adb[i] ? u"%s %s: unknown model with an ADB interface, published bare"
                                    : u"%s %s: unknown model, cached as no phone",
                   FieldText(pass.lookup[i].device.device_key).c_str(),
                   FieldText(pass.lookup[i].device.serial).c_str());
    if (!section.found && pass.is_adb[i]) continue;
    IdentifiedDevice device;
    device.device_key = FieldText(pass.lookup[i].device.device_key);
    device.serial = FieldText(pass.lookup[i].device.serial);
    if (section.found) device.record = section.record;
    identified.push_back(std::move(device));
  }
  store_.StoreIdentified(identified);
  for (size_t i = 0; i < pass.lookup.size(); ++i) {
    if (pass.sections[i].found || pass.is_adb[i]) output.push_back(pass.lookup[i].device);
  }
}

bool Identifier::RequestDriverInfo(const DeviceList& candidates, std::u16string& reply_path,
                                   std::vector<DriverLookupEntry>& lookup) {
  std::u16string url = GetDriverUrlStart(service_base_, os_code_, bitness_code_);
  bool first = true;
  for (const UsbDeviceRecord& candidate : candidates) {
    const std::u16string key = FieldText(candidate.device_key);
    std::optional<std::u16string> driver_id;
    if (key.size() >= kMinDeviceKeyUnits) driver_id = DriverIdOf(key);
    if (!driver_id) {
      MOBILEINFO_LOG(platform_, u"candidate %s left out of the request: no driver id in its key",
                     key.c_str());
      continue;
    }
    if (!first) url += u',';
    url += *driver_id;
    first = false;
    DriverLookupEntry entry;
    std::memset(&entry, 0, sizeof(entry));
    entry.device = candidate;
    CopyTerminated(entry.driver_id, *driver_id);
    lookup.push_back(entry);
  }

  std::optional<ReplyFile> reply = PrepareReplyFile(platform_, kPassReplyPrefix);
  if (!reply) {
    MOBILEINFO_LOG(platform_, u"getDriver not sent: no usable temporary folder");
    reply_path.clear();
    return false;
  }
  reply_path = reply->path;
  MOBILEINFO_LOG(platform_, u"getDriver %s", url.c_str());
  const bool obtained =
      DownloadToFile(platform_, url, reply->directory, reply->path, download_limit_ms_);
  MOBILEINFO_LOG(platform_, obtained ? u"getDriver reply saved" : u"getDriver: no reply");
  return obtained;
}

void Identifier::ReportUnidentifiedDevice(const std::u16string& device_key) {
  if (device_key.empty()) return;
  std::optional<VendorProduct> ids = SplitDeviceKey(device_key);
  if (!ids) return;
  // The service expects the three description parameters although the library has none to send;
  // the formatter writes an absent text as "(null)".
  const char16_t* const absent = nullptr;
  WideString url;
  if (!url.Format(u"%s/intf/f72?vid=%s&pid=%s&desc1=%s&desc2=%s&desc3=%s", service_base_.c_str(),
                  ids->vendor.c_str(), ids->product.c_str(), absent, absent, absent)) {
    return;
  }
  MOBILEINFO_LOG(platform_, u"f72 report %s", url.c_str());
  StartReportRequest(platform_, std::make_unique<std::u16string>(url.ToU16()));
}

}  // namespace mobileinfo
