// Comparison of phone records that names the fields that differ before comparing every byte.
#ifndef MOBILEINFO_TESTS_E2E_RECORD_EXPECT_H
#define MOBILEINFO_TESTS_E2E_RECORD_EXPECT_H

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "catalogue_models.h"

namespace mobileinfo::e2e {

// UTF-8 for failure messages.
inline std::string Narrow(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

inline void ExpectSameRecord(const PhoneRecord& actual, const PhoneRecord& expected) {
#define MOBILEINFO_EXPECT_FIELD(f) \
  EXPECT_EQ(Narrow(GetField(actual.f)), Narrow(GetField(expected.f))) << "field " #f
  MOBILEINFO_EXPECT_FIELD(device_key);
  MOBILEINFO_EXPECT_FIELD(serial);
  MOBILEINFO_EXPECT_FIELD(name);
  MOBILEINFO_EXPECT_FIELD(description);
  MOBILEINFO_EXPECT_FIELD(image_url);
  MOBILEINFO_EXPECT_FIELD(vendor_image_url);
  MOBILEINFO_EXPECT_FIELD(package_download);
  MOBILEINFO_EXPECT_FIELD(driver_guid);
  MOBILEINFO_EXPECT_FIELD(pack);
  MOBILEINFO_EXPECT_FIELD(install_path);
  MOBILEINFO_EXPECT_FIELD(md5);
  MOBILEINFO_EXPECT_FIELD(file_ext);
  MOBILEINFO_EXPECT_FIELD(parameters);
#undef MOBILEINFO_EXPECT_FIELD
  EXPECT_EQ(actual.time_stamp, expected.time_stamp);
  EXPECT_EQ(actual.reserved, expected.reserved);
  EXPECT_EQ(actual.adb_status, expected.adb_status);
  // Padding after the terminators and the unnamed tail count too: the record is a file image.
  EXPECT_EQ(std::memcmp(&actual, &expected, sizeof(PhoneRecord)), 0) << "record bytes differ";
}

}  // namespace mobileinfo::e2e

#endif  // MOBILEINFO_TESTS_E2E_RECORD_EXPECT_H
