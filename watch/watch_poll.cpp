// Watching by polling (Linux): the USB device list is compared every poll_ms milliseconds; a
// change is forwarded as an arrival or a removal code. Used for fake sysfs trees, where udev is
// not running, and on builds without libudev.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iterator>
#include <set>
#include <string>
#include <thread>

#include "watch_internal.h"

namespace mobileinfo {
namespace watch_internal {
namespace {

std::string ReadSmallFile(const std::string& path) {
  std::string text;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return text;
  char buffer[256];
  ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) text.assign(buffer, static_cast<size_t>(n));
  close(fd);
  return text;
}

// One line per entry under <root>/bus/usb/devices. A device entry carries its ids and serial:
// another device plugged into the same port between two polls is a change too.
std::set<std::string> ListUsbEntries() {
  std::set<std::string> entries;
  const char* root = std::getenv("MOBILEINFO_SYSFS_ROOT");
  std::string dir = std::string(root && *root ? root : "/sys") + "/bus/usb/devices";
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name[0] == '.') continue;
      if (name.find(':') == std::string::npos) {
        const std::string base = dir + "/" + name + "/";
        name += "|" + ReadSmallFile(base + "idVendor") + "|" + ReadSmallFile(base + "idProduct") +
                "|" + ReadSmallFile(base + "serial");
      }
      entries.insert(name);
    }
    closedir(d);
  }
  return entries;
}

}  // namespace

int Poll(IPelmoInfo* service, long poll_ms, long seconds, std::atomic<bool>& stop,
         const std::string& notice, const Listening& listening) {
  std::set<std::string> seen = ListUsbEntries();
  listening(notice);
  const auto started = std::chrono::steady_clock::now();
  auto last_poll = started;
  while (!stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto now = std::chrono::steady_clock::now();
    if (seconds && now - started >= std::chrono::seconds(seconds)) break;
    if (now - last_poll < std::chrono::milliseconds(poll_ms)) continue;
    last_poll = now;
    std::set<std::string> current = ListUsbEntries();
    if (current == seen) continue;
    // Anything new is an arrival, otherwise something left; both make the library rescan, which
    // finds out itself what came and went.
    bool arrived = !std::includes(seen.begin(), seen.end(), current.begin(), current.end());
    service->OnDeviceChange(arrived ? kDeviceArrival : kDeviceRemoveComplete, 0);
    seen.swap(current);
  }
  return 0;
}

#if !defined(MOBILEINFO_WATCH_UDEV)
int Watch(IPelmoInfo* service, const WatchOptions& options, std::atomic<bool>& stop,
          std::string&, const Listening& listening) {
  return Poll(service, options.poll_ms > 0 ? options.poll_ms : kDefaultPollMs, options.seconds,
              stop, std::string(), listening);
}
#endif

}  // namespace watch_internal
}  // namespace mobileinfo
