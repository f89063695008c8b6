// The INI reader behind GetPrivateProfileStringW's stand-in, on a getDriver reply file as the web
// service (or anyone able to answer in its place) sends it, and ReadSection on top of it.
//
// Input: a capacity byte, then the section name and a key name, one line each (UTF-8), then the
// bytes of the reply file.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fake_platform.h"
#include "fuzz_input.h"
#include "identify/driver_info_reader.h"
#include "support/profile_text.h"
#include "support/text.h"

using namespace mobileinfo;

namespace {

// Takes the text up to the next '\n' (or the end) off the front of the input.
std::string TakeLine(const uint8_t*& data, size_t& size) {
  const void* newline = std::memchr(data, '\n', size);
  const size_t length = newline ? static_cast<const uint8_t*>(newline) - data : size;
  std::string line(reinterpret_cast<const char*>(data), length);
  const size_t used = newline ? length + 1 : length;
  data += used;
  size -= used;
  return line;
}

template <size_t N>
bool Terminated(const char16_t (&field)[N]) {
  return BoundedLength(field, N) < N;
}

void CheckLookup(const std::u16string& text, const std::u16string& section,
                 const std::u16string& key, uint32_t capacity) {
  std::u16string value = u"stale";
  const uint32_t n = ReadProfileText(text, section, key, capacity, value);
  fuzz::Require(n == value.size());
  fuzz::Require(capacity == 0 ? n == 0 : n <= capacity - 1);
  // A value never runs past its line or its first NUL.
  fuzz::Require(value.find_first_of(std::u16string(u"\r\n\0", 3)) == std::u16string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint32_t capacity = data[0] < 0xF0 ? data[0] : 0x10000u * (data[0] - 0xEF);
  ++data;
  --size;
  const std::u16string section = Utf8ToUtf16(TakeLine(data, size));
  const std::u16string key = Utf8ToUtf16(TakeLine(data, size));
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  const std::u16string text = DecodeProfileBytes(bytes);
  CheckLookup(text, section, key, capacity);
  CheckLookup(text, section, u"UID", 32);
  CheckLookup(text, u"", key, capacity);

  FakePlatform platform;
  const std::u16string path = u"C:\\Temp\\!ly1234.tmp";
  platform.SetFile(path, bytes);
  auto record = std::make_unique<PhoneRecord>();
  std::memset(record.get(), 0x5A, sizeof(PhoneRecord));
  const auto before = std::make_unique<PhoneRecord>(*record);
  DriverInfoReader reader(platform, path.c_str());
  if (reader.ReadSection(section, record.get())) {
    fuzz::Require(Terminated(record->name) && record->name[0] != 0);
    fuzz::Require(Terminated(record->description) && Terminated(record->image_url) &&
                  Terminated(record->vendor_image_url) && Terminated(record->package_download) &&
                  Terminated(record->driver_guid) && Terminated(record->pack) &&
                  Terminated(record->install_path) && Terminated(record->md5) &&
                  Terminated(record->file_ext) && Terminated(record->parameters));
    // Fields that are no driver information stay as they were.
    fuzz::Require(std::memcmp(record->device_key, before->device_key, sizeof(record->serial) +
                                                                        sizeof(record->device_key)) == 0);
    fuzz::Require(record->time_stamp == before->time_stamp && record->padding == before->padding);
  } else {
    std::u16string uid;
    if (ReadProfileText(text, section, u"UID", 32, uid) == 0) {
      fuzz::Require(std::memcmp(record.get(), before.get(), sizeof(PhoneRecord)) == 0);
    }
  }
  return 0;
}
