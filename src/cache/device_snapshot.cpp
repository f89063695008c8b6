#include "cache/device_snapshot.h"

#include <cstring>

#include "support/debug_log.h"
#include "support/text.h"

namespace mobileinfo {

namespace {

constexpr uint32_t kRecordSize = sizeof(UsbDeviceRecord);

}  // namespace

bool WriteDeviceSnapshot(Platform& platform, const std::u16string& path, const DeviceMap& records) {
  // The file is replaced whole: a crash or a full disk while saving leaves the old snapshot.
  RecordFileWriter writer(platform, path);
  bool written = records.empty() || writer.WriteHeader(kRecordSize);
  for (auto it = records.begin(); written && it != records.end(); ++it) {
    written = writer.Write(&it->second, kRecordSize);
  }
  if (!written || !writer.Commit()) {
    MOBILEINFO_LOG(platform, u"device snapshot not saved: %s for %s, the old file stays",
                   writer.failure().c_str(), path.c_str());
    return false;
  }
  MOBILEINFO_LOG(platform, records.empty() ? u"device snapshot saved empty: no devices"
                                           : u"device snapshot saved: %u records",
                 static_cast<unsigned>(records.size()));
  return true;
}

RecordFileRead ReadDeviceSnapshot(Platform& platform, const std::u16string& path, DeviceMap& into) {
  RecordFileReader reader(platform, path, kRecordSize);
  if (!reader.Open()) {
    LogNotRead(platform, reader, u"device snapshot", path);
    return reader.result();
  }
  // One record at a time: the file may be large and only its distinct serials stay in memory.
  unsigned taken = 0;
  UsbDeviceRecord record;
  std::memset(&record, 0, sizeof(record));
  while (reader.Next(&record)) {
    std::u16string serial = FieldText(record.serial);
    if (serial.empty()) continue;
    ++taken;
    into[std::move(serial)] = record;
  }
  MOBILEINFO_LOG(platform, u"device snapshot loaded: %u records", taken);
  LogNotRead(platform, reader, u"device snapshot", path);
  return reader.result();
}

}  // namespace mobileinfo
