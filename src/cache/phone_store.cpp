#include "cache/phone_store.h"

#include <cstring>

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

namespace {

// Records a save takes from the maps under the cache lock at a time: about one write piece.
constexpr size_t kImageChunkRecords = 4;

// Both move map nodes, never the 15 KiB records in them.
// Adds the entries of other whose key into lacks: what into holds wins.
template <typename Map>
void AddMissing(Map& into, Map& other) {
  into.merge(other);
}
// Puts every entry of other into into, replacing an entry of the same key.
template <typename Map>
void Overwrite(Map& into, Map& other) {
  other.merge(into);
  into.swap(other);
}

}  // namespace

bool PhoneStore::SavePhoneCache() try {
  const std::u16string path = DataFilePath(platform_, directory_, kPhoneCacheName);
  // Held for the whole save: two saves (the scan thread's and Stop's) write one after the other,
  // each from the maps as it finds them.
  MutexLock file_lock(&cache_file_lock_);
  bool unread;
  {
    MutexLock lock(&cache_lock_);
    if (phone_info_.empty() && model_status_.empty()) {
      MOBILEINFO_LOG(platform_, u"phone cache not saved: nothing known");
      return false;
    }
    if (!file_unread_ && written_generation_ == generation_) {
      MOBILEINFO_LOG(platform_, u"phone cache not saved: unchanged");
      return true;
    }
    unread = file_unread_;
  }
  if (unread && !TakeUnreadFile(path)) return false;

  ImageCursor cursor;
  uint64_t generation;
  {
    MutexLock lock(&cache_lock_);
    // While the shared stamp is young every negative entry keeps it, so that all of them expire
    // together; once it has aged, this save's time starts a new period.
    const int32_t now = platform_.Now();
    cursor.stamp = IsYoung(now, negative_cache_stamp_, cache_timeout_days_) ? negative_cache_stamp_
                                                                             : now;
    generation = generation_;
  }
  if (!WritePhoneCache(platform_, path, [&](std::vector<PhoneRecord>& chunk) {
        return NextImageChunk(cursor, chunk);
      })) {
    return false;
  }
  // A change made while the image was taken may or may not be in it: it counts as unsaved.
  MutexLock lock(&cache_lock_);
  written_generation_ = generation;
  return true;
} catch (...) {
  // Out of memory: the file on disk stays as it was.
  MOBILEINFO_LOG(platform_, u"phone cache not saved: out of memory");
  return false;
}

bool PhoneStore::NextImageChunk(ImageCursor& cursor, std::vector<PhoneRecord>& chunk) {
  chunk.clear();
  MutexLock lock(&cache_lock_);
  // Each chunk goes on from the last key handed out, so keys stay in order whatever changed
  // meanwhile, and no record is taken twice.
  if (!cursor.negatives) {
    auto it = cursor.after ? phone_info_.upper_bound(*cursor.after) : phone_info_.begin();
    for (; it != phone_info_.end() && chunk.size() < kImageChunkRecords; ++it) {
      cursor.after = it->first;
      if (IsPersistedSerial(it->first, exclusion_set_)) chunk.push_back(it->second);
    }
    if (it != phone_info_.end()) return true;
    cursor.negatives = true;
    cursor.after.reset();
    if (!chunk.empty()) return true;
  }
  auto it = cursor.after ? model_status_.upper_bound(*cursor.after) : model_status_.begin();
  for (; it != model_status_.end() && chunk.size() < kImageChunkRecords; ++it) {
    cursor.after = it->first;
    if (it->second) continue;
    PhoneRecord& negative = chunk.emplace_back(ZeroPhoneRecord());
    CopyField(negative.device_key, it->first);
    negative.time_stamp = cursor.stamp;
  }
  return !chunk.empty();
}

bool PhoneStore::TakeUnreadFile(const std::u16string& path) {
  int32_t timeout_days;
  {
    MutexLock lock(&cache_lock_);
    timeout_days = cache_timeout_days_;
  }
  PhoneCacheContents contents;
  if (ReadPhoneCache(platform_, path, platform_.Now(), timeout_days, contents) ==
      RecordFileRead::kCutShort) {
    MOBILEINFO_LOG(platform_,
                   u"phone cache not saved: %s still cannot be read whole and is left as it is",
                   path.c_str());
    return false;
  }
  MutexLock lock(&cache_lock_);
  AddMissing(phone_info_, contents.phones);
  Reindex();
  AddMissing(model_status_, contents.models);
  if (contents.negative_stamp) negative_cache_stamp_ = *contents.negative_stamp;
  file_unread_ = false;
  return true;
}

bool PhoneStore::LoadPhoneCache() try {
  const int32_t now = platform_.Now();
  int32_t timeout_days;
  {
    MutexLock lock(&cache_lock_);
    timeout_days = cache_timeout_days_;
  }
  MutexLock file_lock(&cache_file_lock_);
  // Read whole before the maps take it: only young records are in memory.
  PhoneCacheContents contents;
  RecordFileRead result = RecordFileRead::kCutShort;
  try {
    result = ReadPhoneCache(platform_, DataFilePath(platform_, directory_, kPhoneCacheName), now,
                            timeout_days, contents);
  } catch (...) {
    MOBILEINFO_LOG(platform_, u"phone cache not loaded whole: out of memory");
  }
  MutexLock lock(&cache_lock_);
  // Init empties the maps first, so they are normally taken whole; records are 15 KiB apiece.
  const bool whole_file = phone_info_.empty() && model_status_.empty();
  // Entries read before a failure are kept all the same.
  Overwrite(phone_info_, contents.phones);
  Reindex();
  Overwrite(model_status_, contents.models);
  if (contents.negative_stamp) negative_cache_stamp_ = *contents.negative_stamp;
  ++generation_;
  file_unread_ = result == RecordFileRead::kCutShort;
  if (file_unread_) {
    MOBILEINFO_LOG(platform_, u"phone cache kept as it is until it can be read whole");
  } else if (result == RecordFileRead::kWhole && whole_file) {
    written_generation_ = generation_;  // the file holds what the maps now hold
  }
  return result == RecordFileRead::kWhole;
} catch (...) {
  return false;
}

bool PhoneStore::IsKnownPhoneSerial(const std::u16string& serial) {
  MutexLock lock(&cache_lock_);
  return serial_index_.count(FoldedKey(serial)) != 0;
}

bool PhoneStore::IsRejectedModel(const std::u16string& device_key) {
  MutexLock lock(&cache_lock_);
  auto it = model_status_.find(device_key);
  return it != model_status_.end() && !it->second;
}

std::optional<PhoneRecord> PhoneStore::FindPhoneIgnoringCase(const std::u16string& serial) {
  MutexLock lock(&cache_lock_);
  auto found = serial_index_.find(FoldedKey(serial));
  if (found == serial_index_.end()) return std::nullopt;
  return phone_info_.at(*found->second.begin());  // the first in the map's order
}

void PhoneStore::Index(const std::u16string& serial) {
  serial_index_[FoldedKey(serial)].insert(serial);
}

void PhoneStore::Unindex(const std::u16string& serial) {
  auto found = serial_index_.find(FoldedKey(serial));
  if (found == serial_index_.end()) return;
  found->second.erase(serial);
  if (found->second.empty()) serial_index_.erase(found);
}

void PhoneStore::Reindex() {
  serial_index_.clear();
  for (const auto& entry : phone_info_) Index(entry.first);
}

PhoneRecord PhoneStore::RecordToPublish(const UsbDeviceRecord& device) {
  const std::u16string serial = FieldText(device.serial);
  MutexLock lock(&cache_lock_);
  auto it = phone_info_.find(serial);
  if (it == phone_info_.end()) return MakePhoneRecord(device);
  // A phone plugged back in changes nothing to save unless its key is spelt otherwise now.
  if (std::memcmp(it->second.device_key, device.device_key, sizeof(device.device_key)) != 0) {
    CopyField(it->second.device_key, device.device_key, 32);
    ++generation_;
  }
  return it->second;
}

void PhoneStore::StoreIdentified(const std::vector<IdentifiedDevice>& results) {
  MutexLock lock(&cache_lock_);
  if (!results.empty()) ++generation_;
  for (const IdentifiedDevice& result : results) {
    if (result.record) {
      phone_info_[result.serial] = *result.record;
      Index(result.serial);
      model_status_[result.device_key] = true;
    } else {
      model_status_[result.device_key] = false;
    }
  }
}

bool PhoneStore::StoreRefreshed(const PhoneRecord& fresh, int32_t now) {
  const std::u16string serial = FieldText(fresh.serial);
  MutexLock lock(&cache_lock_);
  auto cached = phone_info_.find(serial);
  if (cached == phone_info_.end()) return true;
  if (SameDriverInfo(fresh, cached->second)) return false;
  cached->second = fresh;
  cached->second.time_stamp = now;
  ++generation_;
  return true;
}

bool PhoneStore::Exclude(std::u16string serial) {
  MutexLock lock(&cache_lock_);
  const bool cached = phone_info_.count(serial) != 0;
  if (exclusion_set_.insert(std::move(serial)).second && cached) {
    ++generation_;
    return true;
  }
  return false;
}

void PhoneStore::Clear() {
  MutexLock lock(&cache_lock_);
  phone_info_.clear();
  serial_index_.clear();
  model_status_.clear();
  exclusion_set_.clear();
  file_unread_ = false;
  ++generation_;
}

void PhoneStore::SetCacheTimeout(int32_t days) {
  MutexLock lock(&cache_lock_);
  cache_timeout_days_ = days;
}

PhoneInfoMap PhoneStore::PhonesForTesting() {
  MutexLock lock(&cache_lock_);
  return phone_info_;
}

ModelStatusMap PhoneStore::ModelsForTesting() {
  MutexLock lock(&cache_lock_);
  return model_status_;
}

bool PhoneStore::IsExcludedForTesting(const std::u16string& serial) {
  MutexLock lock(&cache_lock_);
  return exclusion_set_.count(serial) != 0;
}

int32_t PhoneStore::CacheTimeoutForTesting() {
  MutexLock lock(&cache_lock_);
  return cache_timeout_days_;
}

int32_t PhoneStore::NegativeCacheStampForTesting() {
  MutexLock lock(&cache_lock_);
  return negative_cache_stamp_;
}

void PhoneStore::PutPhoneForTesting(const std::u16string& serial, const PhoneRecord& record) {
  MutexLock lock(&cache_lock_);
  ++generation_;
  phone_info_[serial] = record;
  Index(serial);
}

void PhoneStore::ErasePhoneForTesting(const std::u16string& serial) {
  MutexLock lock(&cache_lock_);
  ++generation_;
  if (phone_info_.erase(serial)) Unindex(serial);
}

void PhoneStore::PutModelForTesting(const std::u16string& device_key, bool known) {
  MutexLock lock(&cache_lock_);
  ++generation_;
  model_status_[device_key] = known;
}

void PhoneStore::SetNegativeCacheStampForTesting(int32_t stamp) {
  MutexLock lock(&cache_lock_);
  ++generation_;
  negative_cache_stamp_ = stamp;
}

}  // namespace mobileinfo
