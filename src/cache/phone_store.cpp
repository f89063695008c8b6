#include "cache/phone_store.h"

#include "cache/phone_cache.h"
#include "model/phone_record.h"
#include "platform/host_files.h"
#include "support/debug_log.h"
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

int PhoneStore::SavePhoneCache() try {
  // The image is built under the cache lock and written without it: a save never reads the maps
  // while another thread changes them, and never keeps the scan thread waiting on the disk.
  const int32_t now = platform_.Now();
  std::vector<PhoneRecord> records;
  uint64_t generation = 0;
  {
    MutexLock lock(&cache_lock_);
    if (phone_info_.empty() && model_status_.empty()) {
      MOBILEINFO_LOG(platform_, u"phone cache not saved: nothing known");
      return 0;
    }
    // The image buffer of the last save is reused: a large cache then costs no fresh pages.
    records.swap(cache_image_spare_);
    records.clear();
    size_t negatives = 0;
    for (const auto& entry : model_status_) negatives += entry.second ? 0 : 1;
    records.reserve(phone_info_.size() + negatives);
    for (const auto& entry : phone_info_) {
      if (IsPersistedSerial(entry.first, exclusion_set_)) records.push_back(entry.second);
    }
    // While the shared stamp is young every negative entry keeps it, so that all of them expire
    // together; once it has aged, this save's time starts a new period.
    const int32_t stamp = IsYoung(now, negative_cache_stamp_, cache_timeout_days_)
                              ? negative_cache_stamp_
                              : now;
    for (const auto& entry : model_status_) {
      if (entry.second) continue;
      PhoneRecord& negative = records.emplace_back(ZeroPhoneRecord());
      CopyField(negative.device_key, entry.first);
      negative.time_stamp = stamp;
    }
    generation = ++cache_image_generation_;
  }
  const int result = WritePhoneCacheImage(records, generation);
  MutexLock lock(&cache_lock_);
  if (records.capacity() > cache_image_spare_.capacity()) cache_image_spare_.swap(records);
  return result;
} catch (...) {
  // No image could be built (out of memory): the file on disk stays as it was.
  MOBILEINFO_LOG(platform_, u"phone cache not saved: out of memory");
  return 0;
}

int PhoneStore::WritePhoneCacheImage(const std::vector<PhoneRecord>& records,
                                     uint64_t generation) {
  const std::u16string path = DataFilePath(platform_, directory_, kPhoneCacheName);
  MutexLock file_lock(&cache_file_lock_);
  // Two saves (the scan thread's and Stop's) may reach the file in either order; the one built
  // from older maps must not overwrite the newer image.
  if (generation < cache_written_generation_) {
    MOBILEINFO_LOG(platform_, u"phone cache save skipped: a newer image is on disk");
    return 1;
  }
  if (!WritePhoneCache(platform_, path, records)) return 0;
  cache_written_generation_ = generation;
  return 1;
}

int PhoneStore::LoadPhoneCache() try {
  const int32_t now = platform_.Now();
  int32_t timeout_days;
  {
    MutexLock lock(&cache_lock_);
    timeout_days = cache_timeout_days_;
  }
  // Read whole before the maps take it: only young records are in memory.
  PhoneCacheContents contents;
  const int result = ReadPhoneCache(platform_, DataFilePath(platform_, directory_, kPhoneCacheName), now,
                                    timeout_days, contents);
  MutexLock lock(&cache_lock_);
  // Init empties the maps first, so they are normally taken whole; records are 15 KiB apiece.
  if (phone_info_.empty()) {
    phone_info_.swap(contents.phones);
  } else {
    for (auto& entry : contents.phones) phone_info_[entry.first] = std::move(entry.second);
  }
  if (model_status_.empty()) {
    model_status_.swap(contents.models);
  } else {
    for (auto& entry : contents.models) model_status_[entry.first] = entry.second;
  }
  if (contents.negative_stamp) negative_cache_stamp_ = *contents.negative_stamp;
  return result;
} catch (...) {
  return 0;
}

int PhoneStore::IsKnownPhoneSerial(const std::u16string& serial) {
  MutexLock lock(&cache_lock_);
  for (const auto& entry : phone_info_) {
    if (EqualsIgnoreCase(entry.first, serial)) return 1;
  }
  return 0;
}

int PhoneStore::IsRejectedModel(const std::u16string& device_key) {
  MutexLock lock(&cache_lock_);
  auto it = model_status_.find(device_key);
  return (it != model_status_.end() && !it->second) ? 1 : 0;
}

std::optional<PhoneRecord> PhoneStore::FindPhoneIgnoringCase(const std::u16string& serial) {
  MutexLock lock(&cache_lock_);
  for (const auto& entry : phone_info_) {
    if (EqualsIgnoreCase(entry.first, serial)) return entry.second;
  }
  return std::nullopt;
}

PhoneRecord PhoneStore::RecordToPublish(const UsbDeviceRecord& device) {
  const std::u16string serial = FieldText(device.serial);
  MutexLock lock(&cache_lock_);
  auto it = phone_info_.find(serial);
  if (it == phone_info_.end()) return MakePhoneRecord(device);
  CopyField(it->second.device_key, device.device_key, 32);
  return it->second;
}

void PhoneStore::StoreIdentified(const std::vector<IdentifiedDevice>& results) {
  MutexLock lock(&cache_lock_);
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
  MutexLock lock(&cache_lock_);
  auto cached = phone_info_.find(serial);
  if (cached == phone_info_.end()) return 1;
  if (SameDriverInfo(fresh, cached->second)) return 0;
  cached->second = fresh;
  cached->second.time_stamp = now;
  return 1;
}

void PhoneStore::Exclude(std::u16string serial) {
  MutexLock lock(&cache_lock_);
  exclusion_set_.insert(std::move(serial));
}

void PhoneStore::Clear() {
  MutexLock lock(&cache_lock_);
  phone_info_.clear();
  model_status_.clear();
  exclusion_set_.clear();
}

void PhoneStore::SetCacheTimeout(int32_t days) {
  MutexLock lock(&cache_lock_);
  cache_timeout_days_ = days;
}

PhoneInfoMap PhoneStore::Phones() {
  MutexLock lock(&cache_lock_);
  return phone_info_;
}

ModelStatusMap PhoneStore::Models() {
  MutexLock lock(&cache_lock_);
  return model_status_;
}

bool PhoneStore::IsExcluded(const std::u16string& serial) {
  MutexLock lock(&cache_lock_);
  return exclusion_set_.count(serial) != 0;
}

int32_t PhoneStore::cache_timeout_days() {
  MutexLock lock(&cache_lock_);
  return cache_timeout_days_;
}

int32_t PhoneStore::negative_cache_stamp() {
  MutexLock lock(&cache_lock_);
  return negative_cache_stamp_;
}

void PhoneStore::PutPhone(const std::u16string& serial, const PhoneRecord& record) {
  MutexLock lock(&cache_lock_);
  phone_info_[serial] = record;
}

void PhoneStore::ErasePhone(const std::u16string& serial) {
  MutexLock lock(&cache_lock_);
  phone_info_.erase(serial);
}

void PhoneStore::PutModel(const std::u16string& device_key, bool known) {
  MutexLock lock(&cache_lock_);
  model_status_[device_key] = known;
}

void PhoneStore::SetNegativeCacheStamp(int32_t stamp) {
  MutexLock lock(&cache_lock_);
  negative_cache_stamp_ = stamp;
}

}  // namespace mobileinfo
