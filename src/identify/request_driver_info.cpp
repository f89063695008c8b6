// The getDriver request for all candidates of an identification pass.
#include <cstring>

#include "identify/driver_id.h"
#include "identify/reply_file.h"
#include "net/net.h"
#include "service/service_core.h"
#include "support/debug_log.h"
#include "support/text.h"
#include "support/wide_string.h"

namespace mobileinfo {

std::u16string GetDriverUrlStart(const std::u16string& service_base, int32_t os_code,
                                 int32_t bitness_code) {
  const std::u16string base = service_base + u"/intf/getDriver";
  WideString url;
  url.Format(u"%s?os=%d&bit=%d&id=", base.c_str(), os_code, bitness_code);
  return url.ToU16();
}

bool ServiceCore::RequestDriverInfo(const DeviceList& candidates, std::u16string& reply_path,
                                          std::vector<DriverLookupEntry>& lookup) {
  std::u16string url = GetDriverUrlStart(service_base_, os_code_, bitness_code_);
  bool first = true;
  for (const UsbDeviceRecord& candidate : candidates) {
    const std::u16string key = FieldText(candidate.device_key);
    std::optional<std::u16string> driver_id;
    if (key.size() >= kMinDeviceKeyUnits) driver_id = DriverIdOf(key);
    if (!driver_id) {
      MOBILEINFO_LOG(platform_, u"candidate %s left out of the request: no driver id in its key",
                     key.c_str());
      continue;
    }
    if (!first) url += u',';
    url += *driver_id;
    first = false;
    DriverLookupEntry entry;
    std::memset(&entry, 0, sizeof(entry));
    entry.device = candidate;
    CopyTerminated(entry.driver_id, *driver_id);
    lookup.push_back(entry);
  }

  std::optional<ReplyFile> reply = PrepareReplyFile(platform_, kPassReplyPrefix);
  if (!reply) {
    MOBILEINFO_LOG(platform_, u"getDriver not sent: no usable temporary folder");
    reply_path.clear();
    return false;
  }
  reply_path = reply->path;
  MOBILEINFO_LOG(platform_, u"getDriver %s", url.c_str());
  const bool obtained = DownloadToFile(platform_, url, reply->directory, reply->path,
                                       timings_.download_limit_ms) == 1;
  MOBILEINFO_LOG(platform_, obtained ? u"getDriver reply saved" : u"getDriver: no reply");
  return obtained;
}

}  // namespace mobileinfo
