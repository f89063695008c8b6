// "MobileInfo2.dat": the present-device map of the last completed USB scan, so that devices that
// stayed plugged in across a restart are not reported as new arrivals. The device tracker keeps
// the map; this is the file's codec.
//
// Layout: the record size 1092 as a little-endian 32-bit header, then the raw USB device records
// (their byte images: every target is little-endian) in key order. No count: trailing bytes
// short of a record are ignored, and an empty file stands for an empty map.
#ifndef MOBILEINFO_CACHE_DEVICE_SNAPSHOT_H
#define MOBILEINFO_CACHE_DEVICE_SNAPSHOT_H

#include <string>

#include "model/records.h"
#include "platform/platform.h"
#include "platform/record_file.h"

namespace mobileinfo {

inline constexpr char16_t kDeviceSnapshotName[] = u"MobileInfo2.dat";

// Replaces the file at path with records, in key order (no records: an empty file). True when
// saved; false when not, the old file then staying.
bool WriteDeviceSnapshot(Platform& platform, const std::u16string& path, const DeviceMap& records);

// Adds the file's records with a serial to into, a later record replacing an earlier one of the
// same serial (the records read before a failure are added all the same).
RecordFileRead ReadDeviceSnapshot(Platform& platform, const std::u16string& path, DeviceMap& into);

}  // namespace mobileinfo

#endif  // MOBILEINFO_CACHE_DEVICE_SNAPSHOT_H
