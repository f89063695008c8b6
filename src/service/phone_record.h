// Building and copying phone records.
#ifndef MOBILEINFO_SERVICE_PHONE_RECORD_H
#define MOBILEINFO_SERVICE_PHONE_RECORD_H

#include <cstring>
#include <string>

#include "mobileinfo/mobileinfo.h"
#include "service/records.h"
#include "support/text.h"

namespace mobileinfo {

inline PhoneRecord ZeroPhoneRecord() {
  PhoneRecord record;
  std::memset(&record, 0, sizeof(record));
  return record;
}

// A fresh record: every field zero, then the device key (at most 32 units) and the serial (at
// most 512 units) copied in.
inline PhoneRecord MakePhoneRecord(const std::u16string& device_key, const std::u16string& serial) {
  PhoneRecord record = ZeroPhoneRecord();
  CopyField(record.device_key, device_key);
  CopyField(record.serial, serial);
  return record;
}

inline PhoneRecord MakePhoneRecord(const UsbDeviceRecord& device) {
  return MakePhoneRecord(FieldText(device.device_key), FieldText(device.serial));
}

inline UsbDeviceRecord ZeroDeviceRecord() {
  UsbDeviceRecord record;
  std::memset(&record, 0, sizeof(record));
  return record;
}

}  // namespace mobileinfo

#endif  // MOBILEINFO_SERVICE_PHONE_RECORD_H
