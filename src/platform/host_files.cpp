#include "platform/host_files.h"

#include "support/wide_string.h"

namespace mobileinfo {

std::u16string HostFilePath(Platform& platform, const char16_t* name) {
  const char16_t format[] = {u'%', u's', platform.PathSeparator(), u'%', u's', 0};
  WideString path;
  std::u16string directory = platform.HostDirectory();
  path.Format(format, directory.c_str(), name);
  return path.ToU16();
}

}  // namespace mobileinfo
