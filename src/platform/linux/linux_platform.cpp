#include "platform/linux/linux_platform.h"

#include <cstdlib>
#include <system_error>
#include <thread>
#include <utility>

namespace mobileinfo {

Platform& Platform::Default() {
  // Never destroyed: detached threads may still use it while the process exits.
  static LinuxPlatform* const platform = new LinuxPlatform();
  return *platform;
}

LinuxPlatform::LinuxPlatform() = default;

LinuxPlatform::LinuxPlatform(std::string sysfs_root) : fixed_sysfs_root_(std::move(sysfs_root)) {}

LinuxPlatform::~LinuxPlatform() = default;

std::string LinuxPlatform::SysfsRoot() const {
  if (fixed_sysfs_root_) return *fixed_sysfs_root_;
  const char* root = std::getenv("MOBILEINFO_SYSFS_ROOT");
  return (root && *root) ? std::string(root) : std::string("/sys");
}

bool LinuxPlatform::RunDetached(std::function<void()> work) {
  try {
    std::thread(std::move(work)).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace mobileinfo
