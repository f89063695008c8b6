// Device paths of the ADB interface list, as the platform fetches them
// (\\?\usb#vid_18d1&pid_4ee2#<serial>#{class}). Input: UTF-16LE units of the path; a leading
// U+FFFF stands for a path the platform could not fetch, with the next unit as its error.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "support/text.h"
#include "usb/interface_path.h"

using namespace mobileinfo;

namespace {

template <size_t N>
bool Terminated(const char16_t (&field)[N]) {
  return BoundedLength(field, N) < N;
}

void CheckParse(const std::u16string& path) {
  UsbDeviceRecord record;
  std::memset(&record, 0x5A, sizeof(record));
  const int32_t kind = record.storage_kind;
  if (ParseInterfacePath(path.c_str(), &record) == 1) {
    fuzz::Require(Terminated(record.serial) && Terminated(record.device_key));
    fuzz::Require(BoundedLength(record.device_key, 32) <= 17);
    fuzz::Require(FieldText(record.serial).find(u'#') == std::u16string::npos);
    fuzz::Require(record.storage_kind == kind);  // only serial and key are the path's
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::u16string units = fuzz::Utf16FromBytes(data, size);
  InterfaceEntry entry;
  if (!units.empty() && units[0] == u'\xFFFF') {
    entry.path_error = units.size() > 1 ? units[1] : 0;
  } else {
    entry.path = units;
  }

  std::u16string path = u"old";
  uint32_t error = 0;
  if (ReadInterfacePath(entry, path, error) == 1) {
    fuzz::Require(path.size() < kDevicePathCapacity && path.find(u'\0') == std::u16string::npos);
    CheckParse(path);
  } else {
    fuzz::Require(error != 0);
  }
  // The parser also meets paths that never went through the scan's buffer.
  CheckParse(units);
  return 0;
}
