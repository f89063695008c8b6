// Slot 10: fetch one phone's driver information again, into the host's record and the cache.
//
// Locking: the refresh's turn (refreshing_, under refresh_lock_) for the download and reading of
// its own reply file, then the store's cache lock for the map update alone; the identification
// pass waits for neither.
#include "identify/identifier.h"

#include <chrono>

#include "identify/driver_id.h"
#include "identify/driver_info_reader.h"
#include "identify/reply_file.h"
#include "net/net.h"
#include "support/debug_log.h"
#include "support/text.h"

namespace mobileinfo {

int32_t Identifier::RefreshDriverInfo(PhoneRecord* record) try {
  if (!record || !platform_.IsReadable(record, sizeof(PhoneRecord))) {
    MOBILEINFO_LOG(platform_, u"RefreshDriverInfo: 0, no readable record");
    return 0;
  }
  const std::u16string key = FieldText(record->device_key);
  std::optional<std::u16string> driver_id;
  if (key.size() >= kMinDeviceKeyUnits) driver_id = DriverIdOf(key);
  if (!driver_id) {
    MOBILEINFO_LOG(platform_, u"RefreshDriverInfo %s: 0, no driver id in the key", key.c_str());
    return 0;
  }
  // Every way out of the request below is 0, each with its reason.
  const auto refused = [&](const char16_t* why) {
    MOBILEINFO_LOG(platform_, u"RefreshDriverInfo %s: 0, %s", key.c_str(), why);
    return 0;
  };
  const std::u16string url =
      GetDriverUrlStart(service_base_, os_code_, bitness_code_) + *driver_id;

  {
    // The whole call is bounded: a host's worker thread can wait this long for a slow or hung
    // service, and a second refresh waits for the first only within its own limit.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(refresh_limit_ms_);
    {
      MutexLock lock(&refresh_lock_);
      if (!refresh_cv_.WaitUntil(refresh_lock_, deadline,
                                 [this]() REQUIRES(refresh_lock_) { return !refreshing_; })) {
        return refused(u"another refresh held the reply file until the time limit");
      }
      refreshing_ = true;
    }
    // Gives the reply file to the next refresh on every way out of this block.
    struct Turn {
      Identifier* service;
      ~Turn() {
        {
          MutexLock lock(&service->refresh_lock_);
          service->refreshing_ = false;
        }
        service->refresh_cv_.Signal();
      }
    } turn{this};
    std::optional<ReplyFile> reply = PrepareReplyFile(platform_, kRefreshReplyPrefix);
    if (!reply) return refused(u"no usable temporary folder");
    // Read or not, the reply is of no use once this block is left.
    struct Removal {
      Platform& platform;
      const std::u16string& path;
      ~Removal() { RemoveReplyFile(platform, path); }
    } removal{platform_, reply->path};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return refused(u"the time limit has passed");
    MOBILEINFO_LOG(platform_, u"getDriver %s (refresh)", url.c_str());
    if (!FetchUrlToFile(platform_, url, reply->path, static_cast<uint32_t>(left.count()),
                        kMaxContentLength)) {
      return refused(u"no complete reply of at most 1 MiB within the time limit");
    }
    DriverInfoReader reader(platform_, reply->path.c_str());
    if (!reader.ReadSection(*driver_id, record)) return refused(u"no section with UID and Name");
  }

  // From here on the host's record carries the fresh driver information.
  const int32_t stored = store_.StoreRefreshed(*record, platform_.Now());
  MOBILEINFO_LOG(platform_,
                 stored ? u"RefreshDriverInfo %s: 1, model %s"
                        : u"RefreshDriverInfo %s: 0, model %s, the cache had this information",
                 key.c_str(), FieldText(record->name).c_str());
  return stored;
} catch (...) {
  return 0;
}

}  // namespace mobileinfo
