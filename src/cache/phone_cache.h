// The phone cache file "MobileInfo1.dat": a 4-byte record size (15296, the format check) followed
// by raw phone records. Full records (non-empty serial) hold identified phones; records with an
// empty serial are negative entries, device keys the web service knew no model for. Both expire
// after the cache time-out. The phone store keeps what the file holds; this is the file's codec
// and its rules of age.
#ifndef MOBILEINFO_CACHE_PHONE_CACHE_H
#define MOBILEINFO_CACHE_PHONE_CACHE_H

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "model/records.h"
#include "platform/platform.h"
#include "platform/record_file.h"

namespace mobileinfo {

inline constexpr char16_t kPhoneCacheName[] = u"MobileInfo1.dat";

// Whether an entry stamped at `stamp` is still within the time-out at `now`. Files are shared with
// builds that compare (now - stamp) < days * 86400 in signed 32-bit arithmetic that wraps; the
// same wrap is computed here in unsigned arithmetic, where it is defined. A time-out too long to
// count in 32-bit seconds (24,856 days or more) keeps every entry, and one too far below zero
// keeps none: the product would wrap and turn the setting around.
bool IsYoung(int32_t now, int32_t stamp, int32_t timeout_days);

// Serials that stay out of the file: those the host excluded, and those with "&", which are no
// real serials but instance ids that the system made up for a device without one.
bool IsPersistedSerial(const std::u16string& serial, const std::set<std::u16string>& excluded);

// What a load found young enough to keep, in the file's order: a later record of the same serial
// or device key replaces an earlier one.
struct PhoneCacheContents {
  PhoneInfoMap phones;          // serial -> record, its ADB status and reserved field zeroed
  ModelStatusMap models;        // device key -> known (a full record) or not (a negative entry)
  std::optional<int32_t> negative_stamp;  // the last negative entry's stamp
};

// Reads the young records of the file at path into contents (what was read before a failure is
// there all the same).
RecordFileRead ReadPhoneCache(Platform& platform, const std::u16string& path, int32_t now,
                              int32_t timeout_days, PhoneCacheContents& contents);

// Hands out the next few records of an image into chunk (emptied first); false once there are
// none left.
using PhoneCacheChunks = std::function<bool(std::vector<PhoneRecord>& chunk)>;

// Replaces the file at path with the header and the records next_chunk hands out, a few at a time,
// so that no second copy of a large cache is made. True when saved; false when not, the old file
// then staying.
bool WritePhoneCache(Platform& platform, const std::u16string& path,
                     const PhoneCacheChunks& next_chunk);

}  // namespace mobileinfo

#endif  // MOBILEINFO_CACHE_PHONE_CACHE_H
