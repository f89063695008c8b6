#include "cache/phone_cache.h"

#include <climits>

#include "model/phone_record.h"
#include "support/debug_log.h"
#include "support/text.h"

namespace mobileinfo {

namespace {

constexpr uint32_t kRecordSize = sizeof(PhoneRecord);
constexpr int32_t kSecondsPerDay = 86400;

}  // namespace

bool IsYoung(int32_t now, int32_t stamp, int32_t timeout_days) {
  if (timeout_days > INT32_MAX / kSecondsPerDay) return true;
  if (timeout_days < INT32_MIN / kSecondsPerDay) return false;
  const auto age = static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(stamp));
  return age < timeout_days * kSecondsPerDay;
}

bool IsPersistedSerial(const std::u16string& serial, const std::set<std::u16string>& excluded) {
  return !serial.empty() && serial.find(u'&') == std::u16string::npos && !excluded.count(serial);
}

bool WritePhoneCache(Platform& platform, const std::u16string& path,
                     const PhoneCacheChunks& next_chunk) {
  // The file is replaced whole: a crash or a full disk while saving leaves the old cache.
  RecordFileWriter writer(platform, path);
  bool complete = writer.WriteHeader(kRecordSize);
  std::vector<PhoneRecord> chunk;
  size_t count = 0;
  while (complete && next_chunk(chunk)) {
    count += chunk.size();
    complete = count <= (UINT32_MAX - 4) / kRecordSize;  // offsets are 32-bit
    for (auto it = chunk.begin(); complete && it != chunk.end(); ++it) {
      complete = writer.Write(&*it, kRecordSize);
    }
  }
  if (!complete || !writer.Commit()) {
    MOBILEINFO_LOG(platform, u"phone cache not saved: %s for %s, the old file stays",
                   writer.failure().c_str(), path.c_str());
    return false;
  }
  MOBILEINFO_LOG(platform, u"phone cache saved: %u records", static_cast<unsigned>(count));
  return true;
}

RecordFileRead ReadPhoneCache(Platform& platform, const std::u16string& path, int32_t now,
                              int32_t timeout_days, PhoneCacheContents& contents) {
  RecordFileReader reader(platform, path, kRecordSize);
  if (!reader.Open()) {
    LogNotRead(platform, reader, u"phone cache", path);
    return reader.result();
  }
  unsigned phones = 0;
  unsigned models = 0;
  unsigned expired = 0;
  // One record at a time, read straight into the map entry that keeps it: a cache file can be
  // large (15 KiB a record), and only young records are kept.
  PhoneInfoMap::node_type entry;
  for (;;) {
    if (!entry) {
      PhoneInfoMap scratch;
      entry = scratch.extract(scratch.emplace().first);
    }
    PhoneRecord& record = entry.mapped();
    if (!reader.Next(&record)) break;
    if (!IsYoung(now, record.time_stamp, timeout_days)) {
      ++expired;
      continue;
    }
    const std::u16string device_key = FieldText(record.device_key);
    if (record.serial[0] == 0) {
      ++models;
      contents.negative_stamp = record.time_stamp;
      contents.models[device_key] = false;
      continue;
    }
    record.reserved = 0;
    record.adb_status = 0;
    // Text fields and the padding are kept as the file has them, terminated or not; every reader
    // of a text field is bounded by the field.
    ++phones;
    contents.models[device_key] = true;
    entry.key() = FieldText(record.serial);
    auto added = contents.phones.insert(std::move(entry));
    if (!added.inserted) {
      added.position->second = added.node.mapped();  // a later record of the same serial wins
      entry = std::move(added.node);
    }
  }
  MOBILEINFO_LOG(platform, u"phone cache loaded: %u phones, %u unknown models, %u expired records",
                 phones, models, expired);
  LogNotRead(platform, reader, u"phone cache", path);
  return reader.result();
}

}  // namespace mobileinfo
