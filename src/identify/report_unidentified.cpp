// Tells the web service about an Android device it could not be asked about.
#include <memory>

#include "identify/driver_id.h"
#include "net/net.h"
#include "service/service_core.h"
#include "support/debug_log.h"
#include "support/wide_string.h"

namespace mobileinfo {

void ServiceCore::ReportUnidentifiedDevice(const std::u16string& device_key) {
  if (device_key.empty()) return;
  std::optional<VendorProduct> ids = SplitDeviceKey(device_key);
  if (!ids) return;
  // The service expects the three description parameters although the library has none to send;
  // the formatter writes an absent text as "(null)".
  const char16_t* const absent = nullptr;
  WideString url;
  if (!url.Format(u"%s/intf/f72?vid=%s&pid=%s&desc1=%s&desc2=%s&desc3=%s", service_base_.c_str(),
                  ids->vendor.c_str(), ids->product.c_str(), absent, absent, absent)) {
    return;
  }
  MOBILEINFO_LOG(platform_, u"f72 report %s", url.c_str());
  StartReportRequest(platform_, std::make_unique<std::u16string>(url.ToU16()));
}

}  // namespace mobileinfo
