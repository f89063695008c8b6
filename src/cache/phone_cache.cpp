#include "cache/phone_cache.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/record_file.h"
#include "model/phone_record.h"
#include "support/debug_log.h"
#include "support/text.h"

namespace mobileinfo {

namespace {

constexpr uint32_t kRecordSize = sizeof(PhoneRecord);
constexpr uint32_t kSecondsPerDay = 86400;

uint32_t ReadLittleEndian32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
         uint32_t{bytes[3]} << 24;
}

}  // namespace

bool IsYoung(int32_t now, int32_t stamp, int32_t timeout_days) {
  const auto age = static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(stamp));
  const auto limit =
      static_cast<int32_t>(static_cast<uint32_t>(timeout_days) * kSecondsPerDay);
  return age < limit;
}

bool IsPersistedSerial(const std::u16string& serial, const std::set<std::u16string>& excluded) {
  return !serial.empty() && serial.find(u'&') == std::u16string::npos && !excluded.count(serial);
}

int WritePhoneCache(Platform& platform, const std::u16string& path,
                    const std::vector<PhoneRecord>& records) {
  if (records.size() > (UINT32_MAX - 4) / kRecordSize) return 0;  // offsets are 32-bit
  // The file is replaced whole: a crash or a full disk while saving leaves the old cache.
  RecordFileWriter writer(platform, path);
  bool complete = writer.WriteHeader(kRecordSize);
  for (auto it = records.begin(); complete && it != records.end(); ++it) {
    complete = writer.Write(&*it, kRecordSize);
  }
  if (!complete || !writer.Commit()) {
    MOBILEINFO_LOG(platform, u"phone cache not saved: the %s step failed for %s, the old file stays",
                   writer.failed_step(), path.c_str());
    return 0;
  }
  MOBILEINFO_LOG(platform, u"phone cache saved: %u records", static_cast<unsigned>(records.size()));
  return 1;
}

int ReadPhoneCache(Platform& platform, const std::u16string& path, int32_t now,
                   int32_t timeout_days, PhoneCacheContents& contents) try {
  if (!platform.FileExists(path)) {
    MOBILEINFO_LOG(platform, u"phone cache not loaded: %s is missing", path.c_str());
    return 0;
  }
  std::unique_ptr<File> file = platform.OpenFile(path, FileMode::kReadExisting);
  if (!file) {
    MOBILEINFO_LOG(platform, u"phone cache not loaded: %s cannot be opened", path.c_str());
    return 0;
  }
  const uint32_t size = file->Size();

  uint8_t header[4];
  std::optional<uint32_t> got = file->Read(header, sizeof(header));
  if (!got || *got < sizeof(header) || ReadLittleEndian32(header) != kRecordSize) {
    MOBILEINFO_LOG(platform, u"phone cache refused: %s",
                   got && *got == sizeof(header) ? u"the record size is not 15296"
                                                 : u"no header");
    return 0;
  }
  unsigned phones = 0;
  unsigned models = 0;
  unsigned expired = 0;
  const auto loaded = [&](int result, const char16_t* how) {
    MOBILEINFO_LOG(platform,
                   u"phone cache loaded: %u phones, %u unknown models, %u expired records%s",
                   phones, models, expired, how);
    return result;
  };
  if (size < sizeof(header) || size - sizeof(header) < kRecordSize) return loaded(1, u"");

  // One record at a time: a cache file can be large, and only young records are kept.
  auto record = std::make_unique<PhoneRecord>();
  uint32_t offset = sizeof(header);
  for (;;) {
    if (file->Seek(offset) != static_cast<int64_t>(offset)) {
      return loaded(0, u", then a seek failed");
    }
    std::memset(record.get(), 0, kRecordSize);
    got = file->Read(record.get(), kRecordSize);
    if (!got || *got != kRecordSize) return loaded(0, u", then a read failed");

    if (IsYoung(now, record->time_stamp, timeout_days)) {
      const std::u16string device_key = FieldText(record->device_key);
      if (record->serial[0] != 0) {
        const std::u16string serial = FieldText(record->serial);
        record->reserved = 0;
        record->adb_status = 0;
        // Text fields and the padding are kept as the file has them, terminated or not; every
        // reader of a text field is bounded by the field.
        ++phones;
        contents.phones[serial] = *record;
        contents.models[device_key] = true;
      } else {
        ++models;
        contents.negative_stamp = record->time_stamp;
        contents.models[device_key] = false;
      }
    } else {
      ++expired;
    }

    offset += kRecordSize;
    if (size - offset < kRecordSize) return loaded(1, u"");
  }
} catch (...) {
  return 0;
}

}  // namespace mobileinfo
