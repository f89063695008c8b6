// The phone store: what the library knows about phones and models, and the phone cache file
// "MobileInfo1.dat" that keeps it across restarts. The phone info map (serial -> phone record),
// the model status map (device key -> known), the cache exclusion set and the cache settings
// share one lock, the cache lock; the scan thread, Stop's save, RefreshDriverInfo and
// ExcludeFromCache all go through it.
#ifndef MOBILEINFO_CACHE_PHONE_STORE_H
#define MOBILEINFO_CACHE_PHONE_STORE_H

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/host_files.h"
#include "platform/platform.h"
#include "model/records.h"
#include "support/mutex.h"
#include "support/text.h"

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

  // Loads the file into the maps. True when it was read whole. A file that exists but
  // could not be read whole (another program holds it, a read failed part-way) is kept as it is:
  // the first save reads it again and merges it with what this session learnt.
  bool LoadPhoneCache();
  // Writes the maps to the file when they changed since it was last read or written. True when
  // the file holds them (also when nothing needed writing); false when both maps are empty (the
  // file is left alone), when the file could not be written, or when a file that could not be
  // read whole still cannot be (it is then left as it is).
  bool SavePhoneCache();

  // Whether some key of the phone info map equals serial ignoring case.
  bool IsKnownPhoneSerial(const std::u16string& serial);
  // Whether the model status map holds device_key (exact match) with the value false.
  bool IsRejectedModel(const std::u16string& device_key);
  // The record of the first key equal to serial ignoring case.
  std::optional<PhoneRecord> FindPhoneIgnoringCase(const std::u16string& serial);
  // The record a publication lists for device: the cached one (its device key rewritten to the
  // device's) when the serial is a key, else a bare record.
  PhoneRecord RecordToPublish(const UsbDeviceRecord& device);
  // Stores an identification pass's results, in order.
  void StoreIdentified(const std::vector<IdentifiedDevice>& results);
  // RefreshDriverInfo's step on the cache: true when the phone is not cached or its entry took
  // the fresh information, false when the entry already had it.
  bool StoreRefreshed(const PhoneRecord& fresh, int32_t now);
  // Adds serial to the exclusion set. True when the file may still hold it (the phone info map
  // has it), so that a save now takes it out.
  bool Exclude(std::u16string serial);
  // Empties the phone info map, the model status map and the exclusion set.
  void Clear();
  void SetCacheTimeout(int32_t days);

  // --- reading and seeding the maps directly, without a load or a pass ----------------------
  PhoneInfoMap PhonesForTesting();
  ModelStatusMap ModelsForTesting();
  bool IsExcludedForTesting(const std::u16string& serial);
  int32_t CacheTimeoutForTesting();
  int32_t NegativeCacheStampForTesting();
  void PutPhoneForTesting(const std::u16string& serial, const PhoneRecord& record);
  void ErasePhoneForTesting(const std::u16string& serial);
  void PutModelForTesting(const std::u16string& device_key, bool known);
  void SetNegativeCacheStampForTesting(int32_t stamp);

  // Names the cache lock in the lock order of its users' locks; for annotations only (never
  // defined).
  Mutex& cache_lock() RETURN_CAPABILITY(cache_lock_);

 private:
  // Where a save's walk over the maps has got to: full records first, then negative entries.
  struct ImageCursor {
    bool negatives = false;
    std::optional<std::u16string> after;  // the last key handed out
    int32_t stamp = 0;                    // for the negative entries
  };
  // The next few records of the image; false once it is complete.
  bool NextImageChunk(ImageCursor& cursor, std::vector<PhoneRecord>& chunk);
  // The index of the phone info map's keys by their folded form: an arrival is matched without a
  // walk over the whole map (10,000 records in a repair shop's cache).
  void Index(const std::u16string& serial) REQUIRES(cache_lock_);
  void Unindex(const std::u16string& serial) REQUIRES(cache_lock_);
  void Reindex() REQUIRES(cache_lock_);
  // Reads a file the load could not read whole into the maps, this session's entries winning.
  // False when it still cannot be read whole.
  bool TakeUnreadFile(const std::u16string& path) REQUIRES(cache_file_lock_);

  Platform& platform_;
  DataDirectory* const directory_;
  // Serialises the users of the phone cache file (loads, saves); a save holds it while it takes
  // its image from the maps a few records at a time, so it comes before the cache lock.
  Mutex cache_file_lock_;
  Mutex cache_lock_ ACQUIRED_AFTER(cache_file_lock_);  // the cache lock
  ModelStatusMap model_status_ GUARDED_BY(cache_lock_);
  PhoneInfoMap phone_info_ GUARDED_BY(cache_lock_);
  // Folded serial -> the keys of phone_info_ that fold to it, in the map's order.
  std::map<FoldedKey, std::set<std::u16string>> serial_index_ GUARDED_BY(cache_lock_);
  std::set<std::u16string> exclusion_set_ GUARDED_BY(cache_lock_);
  int32_t cache_timeout_days_ GUARDED_BY(cache_lock_) = 1;
  int32_t negative_cache_stamp_ GUARDED_BY(cache_lock_) = 0;
  // Counts the changes of what the file would hold; the file holds the maps as they were at
  // written_generation_.
  uint64_t generation_ GUARDED_BY(cache_lock_) = 1;
  uint64_t written_generation_ GUARDED_BY(cache_lock_) = 0;
  // The file exists but the load could not read it whole: it must not be replaced by what this
  // session knows alone.
  bool file_unread_ GUARDED_BY(cache_lock_) = false;
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_CACHE_PHONE_STORE_H
