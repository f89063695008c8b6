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
template <size_t... N>
void TerminateEach(char16_t (&... fields)[N]) {
  ((fields[N - 1] = 0), ...);
}
inline void TerminateTextFields(PhoneRecord& r) {
  TerminateEach(r.device_key, r.serial, r.name, r.description, r.image_url, r.vendor_image_url,
                r.package_download, r.driver_guid, r.pack, r.install_path, r.md5, r.file_ext,
                r.parameters);
}

inline UsbDeviceRecord ZeroDeviceRecord() {
  UsbDeviceRecord record;
  std::memset(&record, 0, sizeof(record));
  return record;
}

}  // namespace mobileinfo

#endif  // MOBILEINFO_MODEL_PHONE_RECORD_H
