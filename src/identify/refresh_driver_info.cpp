// Slot 10: fetch one phone's driver information again, into the host's record and the cache.
//
// Locking: the refresh's turn (refreshing_, under refresh_lock_) for its own reply file
// (download and reading), then cache_lock_ for the map update alone; the identification pass
// waits for neither.
#include <chrono>

#include "identify/driver_id.h"
#include "identify/driver_info_reader.h"
#include "identify/reply_file.h"
#include "net/net.h"
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
    // The whole call is bounded: a host's worker thread can wait this long for a slow or hung
    // service, and a second refresh waits for the first only within its own limit.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timings_.refresh_limit_ms);
    {
      std::unique_lock<std::mutex> lock(refresh_lock_);
      if (!refresh_cv_.wait_until(lock, deadline, [this] { return !refreshing_; })) return 0;
      refreshing_ = true;
    }
    // Gives the reply file to the next refresh on every way out of this block.
    struct Turn {
      ServiceCore* service;
      ~Turn() {
        {
          std::lock_guard<std::mutex> lock(service->refresh_lock_);
          service->refreshing_ = false;
        }
        service->refresh_cv_.notify_one();
      }
    } turn{this};
    std::optional<ReplyFile> reply = PrepareReplyFile(platform_, kRefreshReplyPrefix);
    if (!reply) return 0;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    if (!platform_.DownloadUrlToFileSync(url, reply->path, static_cast<uint32_t>(left.count()),
                                         kMaxContentLength)) {
      return 0;
    }
    DriverInfoReader reader(platform_, reply->path.c_str());
    if (!reader.ReadSection(*driver_id, record)) return 0;
  }

  // From here on the host's record carries the fresh driver information.
  return store.StoreRefreshed(*record, platform_.Now());
} catch (...) {
  return 0;
}

}  // namespace mobileinfo
