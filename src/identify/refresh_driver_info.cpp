// Slot 10: fetch one phone's driver information again, into the host's record and the cache.
#include "identify/driver_id.h"
#include "identify/driver_info_reader.h"
#include "identify/reply_file.h"
#include "service/service_core.h"
#include "support/text.h"

namespace mobileinfo {

int32_t ServiceCore::RefreshDriverInfo(PhoneRecord* record) try {
  if (!record || !platform_.IsReadable(record, sizeof(PhoneRecord))) return 0;
  const std::u16string key = FieldText(record->device_key);
  if (key.size() < kMinDeviceKeyUnits) return 0;
  std::optional<std::u16string> driver_id = DriverIdOf(key);
  if (!driver_id) return 0;
  const std::u16string url =
      GetDriverUrlStart(service_base_, os_code_, bitness_code_) + *driver_id;

  {
    // The identification pass uses the same reply file name.
    std::lock_guard<std::mutex> reply_lock(reply_file_lock_);
    std::optional<ReplyFile> reply = PrepareReplyFile(platform_);
    if (!reply) return 0;
    if (!platform_.DownloadUrlToFileSync(url, reply->path)) return 0;
    DriverInfoReader reader(platform_, reply->path.c_str());
    if (!reader.ReadSection(*driver_id, record)) return 0;
  }

  // From here on the host's record carries the fresh driver information.
  return store.StoreRefreshed(*record, platform_.Now());
} catch (...) {
  return 0;
}

}  // namespace mobileinfo
