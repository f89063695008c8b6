// Watching by polling: the USB device list is compared every poll_ms milliseconds; a change is
// forwarded as an arrival or a removal code. Used on Linux (fake sysfs trees, machines without
// udev) and, until a notification window exists, on Windows.
#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>

#include "watch.h"

#if !defined(_WIN32)
#include <dirent.h>
#endif

namespace {

// The names under <root>/bus/usb/devices: a change means a device came or went.
std::set<std::string> ListUsbEntries() {
  std::set<std::string> names;
#if !defined(_WIN32)
  const char* root = std::getenv("MOBILEINFO_SYSFS_ROOT");
  std::string dir = std::string(root && *root ? root : "/sys") + "/bus/usb/devices";
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') names.insert(e->d_name);
    }
    closedir(d);
  }
#endif
  return names;
}

}  // namespace

int WatchDevices(IPelmoInfo* service, const WatchOptions& options, std::atomic<bool>& stop,
                 std::string&) {
  std::set<std::string> seen = ListUsbEntries();
  auto started = std::chrono::steady_clock::now();
  auto last_poll = started;
  while (!stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto now = std::chrono::steady_clock::now();
    if (options.seconds && now - started >= std::chrono::seconds(options.seconds)) break;
    if (options.poll_ms && now - last_poll >= std::chrono::milliseconds(options.poll_ms)) {
      last_poll = now;
      std::set<std::string> current = ListUsbEntries();
      if (current != seen) {
        // A grown list is an arrival, anything else a removal; both make the library rescan.
        service->OnDeviceChange(current.size() > seen.size() ? 0x8000 : 0x8004, 0);
        seen.swap(current);
      }
    }
  }
  return 0;
}
