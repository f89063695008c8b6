#include "usb/instance_id.h"

#include <cstring>
#include <string_view>

#include "support/text.h"

namespace mobileinfo {

namespace {

// The scan parses every present device on every rescan, so the parsing below works on views of
// the texts it is given and writes the record's fields in place: no temporary strings.
using Text = std::u16string_view;

const Text kUsbPrefix = u"USB\\VID_";
const Text kVendorMark = u"VID_";
const Text kProductMark = u"PID_";
constexpr size_t kIdTextLength = 4;  // "VID_" and "PID_" each

const Text kMassStorage = u"Mass";
const Text kMassStorageChinese = u"\u5927\u5BB9\u91CF";  // 大容量, "large capacity"
const Text kComposite = u"Composite";

Text BeforeNul(const std::u16string& text) {
  return Text(text.data(), std::char_traits<char16_t>::length(text.c_str()));
}

// Mid(first, count) of the wide string: out-of-range arguments give a shorter or empty text
// instead of failing.
Text Mid(Text text, size_t first, size_t count) {
  if (first >= text.size()) return Text();
  return text.substr(first, count);
}

// Appends text lower-cased (A-Z only, as CharLowerW does to hex digits) at field[at].
size_t PutLower(char16_t* field, size_t at, Text text) {
  for (char16_t c : text) field[at++] = FoldAsciiCase(c);
  return at;
}

}  // namespace

std::u16string TextBeforeNul(const std::u16string& text) { return std::u16string(BeforeNul(text)); }

bool InstanceIdFits(const std::u16string& instance_id) {
  return BeforeNul(instance_id).size() < kInstanceIdCapacity;
}

int32_t StorageKindOf(const std::optional<std::u16string>& description) {
  if (!description) return kStorageOther;
  const Text text = BeforeNul(*description);
  if (text.size() >= kDescriptionCapacity) return kStorageOther;
  if (text.find(kMassStorage) != Text::npos) return kStorageMass;
  if (text.find(kMassStorageChinese) != Text::npos) return kStorageMass;
  if (text.find(kComposite) != Text::npos) return kStorageComposite;
  return kStorageOther;
}

bool ParseInstanceId(const std::u16string& instance_id,
                     const std::optional<std::u16string>& description, UsbDeviceRecord& record) {
  std::memset(&record, 0, sizeof(record));
  const Text id = BeforeNul(instance_id);
  if (id.compare(0, kUsbPrefix.size(), kUsbPrefix) != 0) return false;

  // The prefix puts the first "VID_" at 4; the vendor text is whatever 4 units follow it, even
  // when the vendor id is shorter and they run into "&PID_".
  const size_t vid = id.find(kVendorMark);
  const Text vendor = Mid(id, vid + kIdTextLength, kIdTextLength);

  const size_t pid = id.find(kProductMark);
  if (pid == Text::npos) return false;
  const size_t last_backslash = id.rfind(u'\\');
  if (last_backslash == Text::npos) return false;

  // The product text runs to the last backslash; a "PID_" found only inside the serial leaves it
  // empty, as a negative count does for Mid.
  const size_t product_first = pid + kIdTextLength;
  Text product;
  if (last_backslash > product_first) {
    product = id.substr(product_first, last_backslash - product_first);
  }
  // USB\VID_vvvv&PID_pppp&MI_nn\... are the functions of a composite device; only the parent
  // device counts.
  if (product.size() > kIdTextLength) return false;

  record.storage_kind = StorageKindOf(description);
  // The serial always fits: an id that passed InstanceIdFits is shorter than the field.
  const Text serial = id.substr(last_backslash + 1);
  std::char_traits<char16_t>::copy(record.serial, serial.data(), serial.size());
  // Format("VID_%s&PID_%s") of two texts of at most 4 units each: 17 units at most, well inside
  // the field, and the record is zero behind them.
  size_t at = 0;
  for (char16_t c : Text(u"VID_")) record.device_key[at++] = c;
  at = PutLower(record.device_key, at, vendor);
  for (char16_t c : Text(u"&PID_")) record.device_key[at++] = c;
  PutLower(record.device_key, at, product);
  return true;
}

}  // namespace mobileinfo
