// The phone cache file "MobileInfo1.dat": a 4-byte record size (15296, the format check) followed
// by raw phone records. Full records (non-empty serial) hold identified phones; records with an
// empty serial are negative entries, device keys the web service knew no model for. Both expire
// after the cache time-out.
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cache/phone_store.h"
#include "cache/record_file.h"
#include "service/host_files.h"
#include "service/phone_record.h"
#include "support/debug_log.h"
#include "support/text.h"

namespace mobileinfo {

namespace {

constexpr char16_t kPhoneCacheName[] = u"MobileInfo1.dat";
constexpr uint32_t kRecordSize = sizeof(PhoneRecord);
constexpr uint32_t kSecondsPerDay = 86400;

// Whether an entry stamped at `stamp` is still within the time-out at `now`. Files are shared with
// builds that compare (now - stamp) < days * 86400 in signed 32-bit arithmetic that wraps; the
// same wrap is computed here in unsigned arithmetic, where it is defined.
bool IsYoung(int32_t now, int32_t stamp, int32_t timeout_days) {
  const auto age = static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(stamp));
  const auto limit =
      static_cast<int32_t>(static_cast<uint32_t>(timeout_days) * kSecondsPerDay);
  return age < limit;
}

uint32_t ReadLittleEndian32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
         uint32_t{bytes[3]} << 24;
}

// Serials that stay out of the file: those the host excluded, and those with "&", which are no
// real serials but instance ids that the system made up for a device without one.
bool IsPersistedSerial(const std::u16string& serial, const std::set<std::u16string>& excluded) {
  return !serial.empty() && serial.find(u'&') == std::u16string::npos && !excluded.count(serial);
}

}  // namespace

int PhoneStore::SavePhoneCache() try {
  // The image is built under the cache lock and written without it: a save never reads the maps
  // while another thread changes them, and never keeps the scan thread waiting on the disk.
  const int32_t now = platform_.Now();
  std::vector<PhoneRecord> records;
  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(cache_lock_);
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
  std::lock_guard<std::mutex> lock(cache_lock_);
  if (records.capacity() > cache_image_spare_.capacity()) cache_image_spare_.swap(records);
  return result;
} catch (...) {
  // No image could be built (out of memory): the file on disk stays as it was.
  MOBILEINFO_LOG(platform_, u"phone cache not saved: out of memory");
  return 0;
}

int PhoneStore::WritePhoneCacheImage(const std::vector<PhoneRecord>& records,
                                            uint64_t generation) {
  if (records.size() > (UINT32_MAX - 4) / kRecordSize) return 0;  // offsets are 32-bit

  const std::u16string path = HostFilePath(platform_, kPhoneCacheName);
  std::lock_guard<std::mutex> file_lock(cache_file_lock_);
  // Two saves (the scan thread's and Stop's) may reach the file in either order; the one built
  // from older maps must not overwrite the newer image.
  if (generation < cache_written_generation_) {
    MOBILEINFO_LOG(platform_, u"phone cache save skipped: a newer image is on disk");
    return 1;
  }
  // The file is replaced whole: a crash or a full disk while saving leaves the old cache.
  RecordFileWriter writer(platform_, path);
  bool complete = writer.WriteHeader(kRecordSize);
  for (auto it = records.begin(); complete && it != records.end(); ++it) {
    complete = writer.Write(&*it, kRecordSize);
  }
  if (!complete || !writer.Commit()) {
    MOBILEINFO_LOG(platform_, u"phone cache not saved: the %s step failed for %s, the old file stays",
                   writer.failed_step(), path.c_str());
    return 0;
  }
  MOBILEINFO_LOG(platform_, u"phone cache saved: %u records", static_cast<unsigned>(records.size()));
  cache_written_generation_ = generation;
  return 1;
}

int PhoneStore::LoadPhoneCache() try {
  const std::u16string path = HostFilePath(platform_, kPhoneCacheName);
  if (!platform_.FileExists(path)) {
    MOBILEINFO_LOG(platform_, u"phone cache not loaded: %s is missing", path.c_str());
    return 0;
  }
  std::unique_ptr<File> file = platform_.OpenFile(path, FileMode::kReadExisting);
  if (!file) {
    MOBILEINFO_LOG(platform_, u"phone cache not loaded: %s cannot be opened", path.c_str());
    return 0;
  }
  const uint32_t size = file->Size();

  uint8_t header[4];
  std::optional<uint32_t> got = file->Read(header, sizeof(header));
  if (!got || *got < sizeof(header) || ReadLittleEndian32(header) != kRecordSize) {
    MOBILEINFO_LOG(platform_, u"phone cache refused: %s",
                   got && *got == sizeof(header) ? u"the record size is not 15296"
                                                 : u"no header");
    return 0;
  }
  unsigned phones = 0;
  unsigned models = 0;
  unsigned expired = 0;
  const auto loaded = [&](int result, const char16_t* how) {
    MOBILEINFO_LOG(platform_,
                   u"phone cache loaded: %u phones, %u unknown models, %u expired records%s",
                   phones, models, expired, how);
    return result;
  };
  if (size < sizeof(header) || size - sizeof(header) < kRecordSize) return loaded(1, u"");

  const int32_t now = platform_.Now();
  int32_t timeout_days;
  {
    std::lock_guard<std::mutex> lock(cache_lock_);
    timeout_days = cache_timeout_days_;
  }
  // One record at a time: a cache file can be large, and only young records are kept.
  auto record = std::make_unique<PhoneRecord>();
  uint32_t offset = sizeof(header);
  for (;;) {
    if (file->Seek(offset) != static_cast<int64_t>(offset)) {
      return loaded(0, u", then a seek failed");
    }
    std::memset(record.get(), 0, kRecordSize);
    got = file->Read(record.get(), kRecordSize);
    if (!got || *got != kRecordSize) return loaded(0, u", then a read failed");

    if (IsYoung(now, record->time_stamp, timeout_days)) {
      const std::u16string device_key = FieldText(record->device_key);
      if (record->serial[0] != 0) {
        const std::u16string serial = FieldText(record->serial);
        record->reserved = 0;
        record->adb_status = 0;
        // Text fields and the padding are kept as the file has them, terminated or not; every
        // reader of a text field is bounded by the field.
        ++phones;
        std::lock_guard<std::mutex> lock(cache_lock_);
        phone_info_[serial] = *record;
        model_status_[device_key] = true;
      } else {
        ++models;
        std::lock_guard<std::mutex> lock(cache_lock_);
        negative_cache_stamp_ = record->time_stamp;
        model_status_[device_key] = false;
      }
    } else {
      ++expired;
    }

    offset += kRecordSize;
    if (size - offset < kRecordSize) return loaded(1, u"");
  }
} catch (...) {
  return 0;
}

}  // namespace mobileinfo
