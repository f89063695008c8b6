#include "cache/device_snapshot.h"

#include <cstring>
#include <memory>

#include "platform/record_file.h"
#include "support/debug_log.h"
#include "support/text.h"

namespace mobileinfo {

namespace {

constexpr uint32_t kRecordSize = sizeof(UsbDeviceRecord);
constexpr uint32_t kHeaderSize = 4;

// Reads until size bytes arrived, the file ended or a read failed; the bytes read, or nothing on
// failure.
std::optional<uint32_t> ReadFully(File& file, void* buffer, uint32_t size) {
  uint32_t total = 0;
  while (total < size) {
    std::optional<uint32_t> n = file.Read(static_cast<uint8_t*>(buffer) + total, size - total);
    if (!n) return std::nullopt;
    if (*n == 0) break;
    total += *n;
  }
  return total;
}

}  // namespace

int WriteDeviceSnapshot(Platform& platform, const std::u16string& path, const DeviceMap& records) {
  // The file is replaced whole: a crash or a full disk while saving leaves the old snapshot.
  RecordFileWriter writer(platform, path);
  bool written = records.empty() || writer.WriteHeader(kRecordSize);
  for (auto it = records.begin(); written && it != records.end(); ++it) {
    written = writer.Write(&it->second, kRecordSize);
  }
  if (!written || !writer.Commit()) {
    MOBILEINFO_LOG(platform,
                   u"device snapshot not saved: the %s step failed for %s, the old file stays",
                   writer.failed_step(), path.c_str());
    return 0;
  }
  if (records.empty()) {
    MOBILEINFO_LOG(platform, u"device snapshot saved empty: no devices");
    return 0;  // an empty file: no devices
  }
  MOBILEINFO_LOG(platform, u"device snapshot saved: %u records",
                 static_cast<unsigned>(records.size()));
  return 1;
}

int ReadDeviceSnapshot(Platform& platform, const std::u16string& path, DeviceMap& into) {
  if (!platform.FileExists(path)) {
    MOBILEINFO_LOG(platform, u"device snapshot not loaded: %s is missing", path.c_str());
    return 0;
  }
  std::unique_ptr<File> file = platform.OpenFile(path, FileMode::kReadExisting);
  if (!file) {
    MOBILEINFO_LOG(platform, u"device snapshot not loaded: %s cannot be opened", path.c_str());
    return 0;
  }
  const uint32_t size = file->Size();

  uint8_t header[kHeaderSize];
  std::optional<uint32_t> n = ReadFully(*file, header, kHeaderSize);
  if (!n || *n < kHeaderSize) {
    MOBILEINFO_LOG(platform, u"device snapshot refused: no header (empty file: no devices)");
    return 0;
  }
  const uint32_t record_size = static_cast<uint32_t>(header[0]) | (header[1] << 8) |
                               (header[2] << 16) | (static_cast<uint32_t>(header[3]) << 24);
  if (record_size != kRecordSize) {  // e.g. 15296: a phone cache file
    MOBILEINFO_LOG(platform, u"device snapshot refused: record size %u", record_size);
    return 0;
  }

  // One record at a time: the file may be large and only its distinct serials stay in memory.
  uint32_t offset = kHeaderSize;
  unsigned taken = 0;
  const auto loaded = [&](int result, const char16_t* how) {
    MOBILEINFO_LOG(platform, u"device snapshot loaded: %u records%s", taken, how);
    return result;
  };
  if (size - offset < kRecordSize) return loaded(1, u"");
  for (;;) {
    if (file->Seek(offset) != static_cast<int64_t>(offset)) {
      return loaded(0, u", then a seek failed");
    }
    UsbDeviceRecord record;
    std::memset(&record, 0, sizeof(record));
    n = ReadFully(*file, &record, kRecordSize);
    // Records taken so far stay.
    if (!n || *n < kRecordSize) return loaded(0, u", then a read failed");
    offset += kRecordSize;
    std::u16string serial = FieldText(record.serial);
    if (!serial.empty()) {
      ++taken;
      into[std::move(serial)] = record;
    }
    if (size - offset < kRecordSize) return loaded(1, u"");
  }
}

}  // namespace mobileinfo
