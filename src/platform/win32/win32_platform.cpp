#include "platform/win32/win32_platform.h"

namespace mobileinfo {

Platform& Platform::Default() {
  // Never destroyed: detached threads may still reach it while the process exits.
  static Win32Platform* const platform = new Win32Platform();
  return *platform;
}

}  // namespace mobileinfo
