// The phone store: what the library knows about phones and models, and the phone cache file
// "MobileInfo1.dat" that keeps it across restarts. The phone info map (serial -> phone record),
// the model status map (device key -> known), the cache exclusion set and the cache settings
// share one lock, the cache lock; the scan thread, Stop's save, RefreshDriverInfo and
// ExcludeFromCache all go through it.
#ifndef MOBILEINFO_CACHE_PHONE_STORE_H
#define MOBILEINFO_CACHE_PHONE_STORE_H

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/host_files.h"
#include "platform/platform.h"
#include "model/records.h"
#include "support/mutex.h"

namespace mobileinfo {

// One result of an identification pass: a phone the driver service knew (record set), or a
// device key it did not know (no record).
struct IdentifiedDevice {
  std::u16string device_key;
  std::u16string serial;
  std::optional<PhoneRecord> record;
};

class PhoneStore {
 public:
  // directory: where "MobileInfo1.dat" lives; null: beside the host.
  explicit PhoneStore(Platform& platform, DataDirectory* directory = nullptr)
      : platform_(platform), directory_(directory) {}
  PhoneStore(const PhoneStore&) = delete;
  PhoneStore& operator=(const PhoneStore&) = delete;

  int LoadPhoneCache();
  int SavePhoneCache();

  // Whether some key of the phone info map equals serial ignoring case.
  int IsKnownPhoneSerial(const std::u16string& serial);
  // Whether the model status map holds device_key (exact match) with the value false.
  int IsRejectedModel(const std::u16string& device_key);
  // The record of the first key equal to serial ignoring case.
  std::optional<PhoneRecord> FindPhoneIgnoringCase(const std::u16string& serial);
  // The record a publication lists for device: the cached one (its device key rewritten to the
  // device's) when the serial is a key, else a bare record.
  PhoneRecord RecordToPublish(const UsbDeviceRecord& device);
  // Stores an identification pass's results, in order.
  void StoreIdentified(const std::vector<IdentifiedDevice>& results);
  // RefreshDriverInfo's step on the cache: 1 when the phone is not cached or its entry took the
  // fresh information, 0 when the entry already had it.
  int StoreRefreshed(const PhoneRecord& fresh, int32_t now);
  void Exclude(std::u16string serial);
  // Empties the phone info map, the model status map and the exclusion set.
  void Clear();
  void SetCacheTimeout(int32_t days);

  // --- reading and seeding the maps directly (tests, benchmarks) ---------------------------
  PhoneInfoMap Phones();
  ModelStatusMap Models();
  bool IsExcluded(const std::u16string& serial);
  int32_t cache_timeout_days();
  int32_t negative_cache_stamp();
  void PutPhone(const std::u16string& serial, const PhoneRecord& record);
  void ErasePhone(const std::u16string& serial);
  void PutModel(const std::u16string& device_key, bool known);
  void SetNegativeCacheStamp(int32_t stamp);

  // Names the cache lock in the lock order of its users' locks; for annotations only (never
  // defined).
  Mutex& cache_lock() RETURN_CAPABILITY(cache_lock_);

 private:
  // Writes a built phone cache image under cache_file_lock_ unless a newer one is on disk.
  int WritePhoneCacheImage(const std::vector<PhoneRecord>& records, uint64_t generation);

  Platform& platform_;
  DataDirectory* const directory_;
  Mutex cache_lock_;  // the cache lock
  ModelStatusMap model_status_ GUARDED_BY(cache_lock_);
  PhoneInfoMap phone_info_ GUARDED_BY(cache_lock_);
  std::set<std::u16string> exclusion_set_ GUARDED_BY(cache_lock_);
  int32_t cache_timeout_days_ GUARDED_BY(cache_lock_) = 1;
  int32_t negative_cache_stamp_ GUARDED_BY(cache_lock_) = 0;
  uint64_t cache_image_generation_ GUARDED_BY(cache_lock_) = 0;
  std::vector<PhoneRecord> cache_image_spare_ GUARDED_BY(cache_lock_);  // the last save's buffer
  // Serialises writers of the phone cache file (scan thread and Stop); never held with
  // cache_lock_. See SavePhoneCache.
  Mutex cache_file_lock_;
  uint64_t cache_written_generation_ GUARDED_BY(cache_file_lock_) = 0;
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_CACHE_PHONE_STORE_H
