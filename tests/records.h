// Device records and the lists tests compare them by: the serials of a device list and the keys of
// a map, in order.
#ifndef MOBILEINFO_TESTS_RECORDS_H
#define MOBILEINFO_TESTS_RECORDS_H

#include <cstdint>
#include <string>
#include <vector>

#include "model/phone_record.h"
#include "support/text.h"

namespace mobileinfo {

// A zeroed device record with key, serial and storage kind.
inline UsbDeviceRecord Device(const std::u16string& key, const std::u16string& serial,
                              int32_t kind = kStorageOther) {
  UsbDeviceRecord record = ZeroDeviceRecord();
  record.storage_kind = kind;
  CopyField(record.device_key, key);
  CopyField(record.serial, serial);
  return record;
}

template <class List>
std::vector<std::u16string> Serials(const List& list) {
  std::vector<std::u16string> serials;
  for (const auto& record : list) serials.push_back(FieldText(record.serial));
  return serials;
}

template <class Map>
std::vector<std::u16string> Keys(const Map& map) {
  std::vector<std::u16string> keys;
  for (const auto& entry : map) keys.push_back(entry.first);
  return keys;
}

}  // namespace mobileinfo

#endif  // MOBILEINFO_TESTS_RECORDS_H
