// Device instance ids and descriptions of the present-device list, as the platform reports them
// (SetupAPI on Windows, made from sysfs on Linux). Input: UTF-16LE units; the first U+FFFF
// separates the id from the description (no separator: no description).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz_input.h"
#include "support/text.h"
#include "usb/instance_id.h"

using namespace mobileinfo;

namespace {

template <size_t N>
bool Terminated(const char16_t (&field)[N]) {
  return BoundedLength(field, N) < N;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::u16string units = fuzz::Utf16FromBytes(data, size);
  const auto parts = fuzz::SplitAt(units, u'\xFFFF');
  const std::u16string& id = parts.first;
  std::optional<std::u16string> description;
  if (units.find(u'\xFFFF') != std::u16string::npos) description = parts.second;

  const int32_t kind = StorageKindOf(description);
  fuzz::Require(kind == kStorageOther || kind == kStorageMass || kind == kStorageComposite);
  if (!InstanceIdFits(id)) return 0;

  UsbDeviceRecord record;
  if (ParseInstanceId(id, description, record)) {
    fuzz::Require(TextBeforeNul(id).compare(0, 8, u"USB\\VID_") == 0);
    fuzz::Require(Terminated(record.serial) && Terminated(record.device_key));
    fuzz::Require(FieldText(record.device_key).compare(0, 4, u"VID_") == 0);
    fuzz::Require(record.storage_kind == kind);
  }
  return 0;
}
