#include "usb/instance_id.h"

#include <cstring>

#include "support/text.h"
#include "support/wide_string.h"

namespace mobileinfo {

namespace {

const char16_t kUsbPrefix[] = u"USB\\VID_";
constexpr size_t kUsbPrefixLength = 8;
constexpr size_t kIdTextLength = 4;  // "VID_" and "PID_" each

const char16_t kMassStorage[] = u"Mass";
const char16_t kMassStorageChinese[] = u"\u5927\u5BB9\u91CF";  // 大容量, "large capacity"
const char16_t kComposite[] = u"Composite";

// Mid(first, count) of the wide string: out-of-range arguments give a shorter or empty text
// instead of failing.
std::u16string Mid(const std::u16string& text, size_t first, size_t count) {
  if (first >= text.size()) return std::u16string();
  return text.substr(first, count);
}

}  // namespace

std::u16string TextBeforeNul(const std::u16string& text) {
  size_t end = text.find(u'\0');
  return end == std::u16string::npos ? text : text.substr(0, end);
}

bool InstanceIdFits(const std::u16string& instance_id) {
  size_t length = instance_id.find(u'\0');
  if (length == std::u16string::npos) length = instance_id.size();
  return length < kInstanceIdCapacity;
}

int32_t StorageKindOf(const std::optional<std::u16string>& description) {
  if (!description) return kStorageOther;
  std::u16string text = TextBeforeNul(*description);
  if (text.size() >= kDescriptionCapacity) return kStorageOther;
  if (text.find(kMassStorage) != std::u16string::npos) return kStorageMass;
  if (text.find(kMassStorageChinese) != std::u16string::npos) return kStorageMass;
  if (text.find(kComposite) != std::u16string::npos) return kStorageComposite;
  return kStorageOther;
}

bool ParseInstanceId(const std::u16string& instance_id,
                     const std::optional<std::u16string>& description, UsbDeviceRecord& record) {
  std::memset(&record, 0, sizeof(record));
  const std::u16string id = TextBeforeNul(instance_id);
  if (id.compare(0, kUsbPrefixLength, kUsbPrefix) != 0) return false;

  // The prefix puts the first "VID_" at 4; the vendor text is whatever 4 units follow it, even
  // when the vendor id is shorter and they run into "&PID_".
  const size_t vid = id.find(u"VID_");
  const std::u16string vendor = LowerAscii(Mid(id, vid + kIdTextLength, kIdTextLength));

  const size_t pid = id.find(u"PID_");
  if (pid == std::u16string::npos) return false;
  const size_t last_backslash = id.rfind(u'\\');
  if (last_backslash == std::u16string::npos) return false;

  // The product text runs to the last backslash; a "PID_" found only inside the serial leaves it
  // empty, as a negative count does for Mid.
  const size_t product_first = pid + kIdTextLength;
  std::u16string product;
  if (last_backslash > product_first) {
    product = id.substr(product_first, last_backslash - product_first);
  }
  // USB\VID_vvvv&PID_pppp&MI_nn\... are the functions of a composite device; only the parent
  // device counts.
  if (product.size() > kIdTextLength) return false;
  product = LowerAscii(product);

  record.storage_kind = StorageKindOf(description);
  CopyTerminated(record.serial, id.substr(last_backslash + 1));
  WideString device_key;
  device_key.Format(u"VID_%s&PID_%s", vendor.c_str(), product.c_str());
  CopyTerminated(record.device_key, device_key.ToU16());
  return true;
}

}  // namespace mobileinfo
