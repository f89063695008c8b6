#include "service/settings.h"

#include <cstdlib>

#include "platform/host_files.h"
#include "support/debug_log.h"

namespace mobileinfo {

namespace {

// _wtoi: optional leading white space and sign, then decimal digits; overflow wraps as the
// 32-bit conversion of the C runtime does on these platforms.
int32_t ParseLeadingInt(const std::u16string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  uint32_t value = 0;
  while (i < text.size() && text[i] >= u'0' && text[i] <= u'9') {
    value = value * 10 + static_cast<uint32_t>(text[i++] - u'0');
  }
  return static_cast<int32_t>(negative ? 0u - value : value);
}

}  // namespace

bool ReadSettings(Platform& platform, PhoneStore& store, DataDirectory* directory) {
  std::u16string path = DataFilePath(platform, directory, u"mobileInfo.ini");
  if (!platform.FileExists(path)) {
    MOBILEINFO_LOG(platform, u"settings: %s is missing, the defaults hold", path.c_str());
    return false;
  }
  std::u16string value;
  if (platform.ReadProfileString(path, u"main", u"MobileInfoCacheTimeOut", 260, value) == 0) {
    MOBILEINFO_LOG(platform, u"settings: no [main] MobileInfoCacheTimeOut, the defaults hold");
    return false;
  }
  const int32_t days = ParseLeadingInt(value);
  MOBILEINFO_LOG(platform, u"settings: cache time-out %d days", days);
  store.SetCacheTimeout(days);
  return true;
}

int32_t GetOsCode(Platform& platform) {
  std::optional<OsVersion> version = platform.GetOsVersion();
  if (!version || version->platform_id != 2) return 0;
  struct Entry { uint32_t major, minor; int32_t code; };
  static const Entry kCodes[] = {{5, 0, 1}, {5, 1, 3}, {5, 2, 2}, {6, 0, 4}, {6, 1, 5}, {6, 2, 7}};
  for (const Entry& entry : kCodes) {
    if (entry.major == version->major && entry.minor == version->minor) return entry.code;
  }
  return 0;
}

bool Is64BitOs(Platform& platform) {
  if (!platform.GetOsVersion()) return false;
  std::optional<uint16_t> architecture = platform.NativeProcessorArchitecture();
  if (!architecture) return false;
  // PROCESSOR_ARCHITECTURE_AMD64 and _IA64. The native architecture counts, not the process's.
  return *architecture == 9 || *architecture == 6;
}

}  // namespace mobileinfo
