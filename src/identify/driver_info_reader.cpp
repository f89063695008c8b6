#include "identify/driver_info_reader.h"

#include <cstddef>
#include <cstring>

namespace mobileinfo {

namespace {

// One key of a reply section and the phone record field it fills.
struct ReplyField {
  const char16_t* key;
  size_t offset;   // bytes into the phone record
  uint32_t width;  // units, terminator included
};

#define MOBILEINFO_REPLY_FIELD(key, member) \
  ReplyField { key, offsetof(PhoneRecord, member), sizeof(PhoneRecord::member) / sizeof(char16_t) }

constexpr uint32_t kUidWidth = 32;

constexpr ReplyField kNameField = MOBILEINFO_REPLY_FIELD(u"Name", name);

// Read after "UID" and "Name", in this order, whatever each one yields.
constexpr ReplyField kOtherFields[] = {
    MOBILEINFO_REPLY_FIELD(u"Description", description),
    MOBILEINFO_REPLY_FIELD(u"ImageUrl", image_url),
    MOBILEINFO_REPLY_FIELD(u"VendorImageUrl", vendor_image_url),
    MOBILEINFO_REPLY_FIELD(u"GUID", driver_guid),
    MOBILEINFO_REPLY_FIELD(u"PDown", package_download),
    MOBILEINFO_REPLY_FIELD(u"InstallPath", install_path),
    MOBILEINFO_REPLY_FIELD(u"FileExt", file_ext),
    MOBILEINFO_REPLY_FIELD(u"Param", parameters),
    MOBILEINFO_REPLY_FIELD(u"MD5", md5),
    MOBILEINFO_REPLY_FIELD(u"Pack", pack),
};

#undef MOBILEINFO_REPLY_FIELD

}  // namespace

bool DriverInfoReader::ReadSection(const std::u16string& section, PhoneRecord* record) {
  if (!record || !path_) return false;
  const std::u16string path(path_);
  std::u16string value;
  if (platform_.ReadProfileString(path, section, u"UID", kUidWidth, value) == 0) return false;

  // The field is written whatever the read yields; only "Name" decides success.
  auto read_into = [&](const ReplyField& field) {
    value.clear();
    uint32_t count = platform_.ReadProfileString(path, section, field.key, field.width, value);
    char16_t* target =
        reinterpret_cast<char16_t*>(reinterpret_cast<unsigned char*>(record) + field.offset);
    size_t n = count == 0 ? 0 : value.size();
    if (n > field.width - 1) n = field.width - 1;
    if (n) std::memcpy(target, value.data(), n * sizeof(char16_t));
    std::memset(target + n, 0, (field.width - n) * sizeof(char16_t));
    return count;
  };
  if (read_into(kNameField) == 0) return false;
  for (const ReplyField& field : kOtherFields) read_into(field);
  return true;
}

}  // namespace mobileinfo
