#include "identify/driver_info_reader.h"

#include <cstddef>
#include <cstring>
#include <iterator>
#include <vector>

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
  // All twelve keys in one batch, so the platform reads and decodes the file once per section
  // rather than once per key; the keys and their order are those of one-by-one reading.
  std::vector<Platform::ProfileRead> reads;
  reads.reserve(2 + std::size(kOtherFields));
  reads.push_back({u"UID", kUidWidth, {}, 0});
  reads.push_back({kNameField.key, kNameField.width, {}, 0});
  for (const ReplyField& field : kOtherFields) reads.push_back({field.key, field.width, {}, 0});
  platform_.ReadProfileStrings(path, section, reads);
  if (reads[0].count == 0) return false;

  // The field is written whatever the read yields; only "Name" decides success.
  auto store = [&](const ReplyField& field, const Platform::ProfileRead& read) {
    char16_t* target =
        reinterpret_cast<char16_t*>(reinterpret_cast<unsigned char*>(record) + field.offset);
    size_t n = read.count == 0 ? 0 : read.value.size();
    if (n > field.width - 1) n = field.width - 1;
    if (n) std::memcpy(target, read.value.data(), n * sizeof(char16_t));
    std::memset(target + n, 0, (field.width - n) * sizeof(char16_t));
    return read.count;
  };
  if (store(kNameField, reads[1]) == 0) return false;
  for (size_t i = 0; i < std::size(kOtherFields); ++i) store(kOtherFields[i], reads[2 + i]);
  return true;
}

}  // namespace mobileinfo
