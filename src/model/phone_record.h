// Building and copying phone records.
#ifndef MOBILEINFO_MODEL_PHONE_RECORD_H
#define MOBILEINFO_MODEL_PHONE_RECORD_H

#include <cstring>
#include <string>

#include "mobileinfo/mobileinfo.h"
#include "model/records.h"
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

// Ends every text field with a terminator within its capacity. A host reads the fields of a
// record it is handed with wcslen, and a cache file from elsewhere may hold texts that fill
// their fields.
inline void TerminateTextFields(PhoneRecord& record) {
  record.device_key[31] = 0;
  record.serial[511] = 0;
  record.name[31] = 0;
  record.description[31] = 0;
  record.image_url[2047] = 0;
  record.vendor_image_url[2047] = 0;
  record.package_download[2047] = 0;
  record.driver_guid[39] = 0;
  record.pack[259] = 0;
  record.install_path[259] = 0;
  record.md5[63] = 0;
  record.file_ext[4] = 0;
  record.parameters[259] = 0;
}

inline UsbDeviceRecord ZeroDeviceRecord() {
  UsbDeviceRecord record;
  std::memset(&record, 0, sizeof(record));
  return record;
}

}  // namespace mobileinfo

#endif  // MOBILEINFO_MODEL_PHONE_RECORD_H
