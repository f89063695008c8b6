// The phone cache file "MobileInfo1.dat": a 4-byte record size (15296, the format check) followed
// by raw phone records. Full records (non-empty serial) hold identified phones; records with an
// empty serial are negative entries, device keys the web service knew no model for. Both expire
// after the cache time-out. The phone store keeps what the file holds; this is the file's codec
// and its rules of age.
#ifndef MOBILEINFO_CACHE_PHONE_CACHE_H
#define MOBILEINFO_CACHE_PHONE_CACHE_H

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "model/records.h"
#include "platform/platform.h"

namespace mobileinfo {

inline constexpr char16_t kPhoneCacheName[] = u"MobileInfo1.dat";

// Whether an entry stamped at `stamp` is still within the time-out at `now`. Files are shared with
// builds that compare (now - stamp) < days * 86400 in signed 32-bit arithmetic that wraps; the
// same wrap is computed here in unsigned arithmetic, where it is defined.
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

// Reads the young records of the file at path into contents. 1 when the file was read to its end;
// 0 when it is missing, refused, or could not be read to its end (what was read until then is in
// contents all the same).
int ReadPhoneCache(Platform& platform, const std::u16string& path, int32_t now,
                   int32_t timeout_days, PhoneCacheContents& contents);

// Replaces the file at path with the header and records. 1 when saved; 0 when not, the old file
// then staying.
int WritePhoneCache(Platform& platform, const std::u16string& path,
                    const std::vector<PhoneRecord>& records);

}  // namespace mobileinfo

#endif  // MOBILEINFO_CACHE_PHONE_CACHE_H
