// The phone store's questions and changes other than the cache file's load and save.
#include "cache/phone_store.h"

#include "service/phone_record.h"
#include "support/text.h"

namespace mobileinfo {

namespace {

// The fields whose change makes a refresh worth storing; the rest (GUID, MD5, pack, key, serial,
// time stamp, ADB status) do not count.
bool SameDriverInfo(const PhoneRecord& a, const PhoneRecord& b) {
  return FieldText(a.name) == FieldText(b.name) &&
         FieldText(a.description) == FieldText(b.description) &&
         FieldText(a.image_url) == FieldText(b.image_url) &&
         FieldText(a.vendor_image_url) == FieldText(b.vendor_image_url) &&
         FieldText(a.package_download) == FieldText(b.package_download) &&
         FieldText(a.file_ext) == FieldText(b.file_ext) &&
         FieldText(a.install_path) == FieldText(b.install_path) &&
         FieldText(a.parameters) == FieldText(b.parameters);
}

}  // namespace

int PhoneStore::IsKnownPhoneSerial(const std::u16string& serial) {
  std::lock_guard<std::mutex> lock(cache_lock_);
  for (const auto& entry : phone_info_) {
    if (EqualsIgnoreCase(entry.first, serial)) return 1;
  }
  return 0;
}

int PhoneStore::IsRejectedModel(const std::u16string& device_key) {
  std::lock_guard<std::mutex> lock(cache_lock_);
  auto it = model_status_.find(device_key);
  return (it != model_status_.end() && !it->second) ? 1 : 0;
}

std::optional<PhoneRecord> PhoneStore::FindPhoneIgnoringCase(const std::u16string& serial) {
  std::lock_guard<std::mutex> lock(cache_lock_);
  for (const auto& entry : phone_info_) {
    if (EqualsIgnoreCase(entry.first, serial)) return entry.second;
  }
  return std::nullopt;
}

PhoneRecord PhoneStore::RecordToPublish(const UsbDeviceRecord& device) {
  const std::u16string serial = FieldText(device.serial);
  std::lock_guard<std::mutex> lock(cache_lock_);
  auto it = phone_info_.find(serial);
  if (it == phone_info_.end()) return MakePhoneRecord(device);
  CopyField(it->second.device_key, device.device_key, 32);
  return it->second;
}

void PhoneStore::StoreIdentified(const std::vector<IdentifiedDevice>& results) {
  std::lock_guard<std::mutex> lock(cache_lock_);
  for (const IdentifiedDevice& result : results) {
    if (result.record) {
      phone_info_[result.serial] = *result.record;
      model_status_[result.device_key] = true;
    } else {
      model_status_[result.device_key] = false;
    }
  }
}

int PhoneStore::StoreRefreshed(const PhoneRecord& fresh, int32_t now) {
  const std::u16string serial = FieldText(fresh.serial);
  std::lock_guard<std::mutex> lock(cache_lock_);
  auto cached = phone_info_.find(serial);
  if (cached == phone_info_.end()) return 1;
  if (SameDriverInfo(fresh, cached->second)) return 0;
  cached->second = fresh;
  cached->second.time_stamp = now;
  return 1;
}

void PhoneStore::Exclude(std::u16string serial) {
  std::lock_guard<std::mutex> lock(cache_lock_);
  exclusion_set_.insert(std::move(serial));
}

void PhoneStore::Clear() {
  std::lock_guard<std::mutex> lock(cache_lock_);
  phone_info_.clear();
  model_status_.clear();
  exclusion_set_.clear();
}

void PhoneStore::SetCacheTimeout(int32_t days) {
  std::lock_guard<std::mutex> lock(cache_lock_);
  cache_timeout_days_ = days;
}

}  // namespace mobileinfo
