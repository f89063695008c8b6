// Watching by polling (Linux): the USB device list is compared every poll_ms milliseconds; a
// change is forwarded as an arrival or a removal code. Used for fake sysfs trees, where udev is
// not running, and on builds without libudev. Also the wait both Linux watchers sleep in.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <iterator>
#include <set>
#include <string>

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

StopWait::StopWait(const WatchControl& control) : control_(control) {
  if (!control_.waker) return;
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) return;
  const int fd = wake_fd_;
  control_.waker->Set([fd] {
    const uint64_t one = 1;
    (void)!write(fd, &one, sizeof one);
  });
}

StopWait::~StopWait() {
  if (wake_fd_ < 0) return;
  control_.waker->Set(nullptr);
  close(wake_fd_);
}

int StopWait::Wait(int fd, long timeout_ms) {
  if (control_.stop) return 0;
  if (wake_fd_ < 0 && (timeout_ms < 0 || timeout_ms > kStopCheckMs)) timeout_ms = kStopCheckMs;
  pollfd waits[2] = {{fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
  const int ready = poll(waits, 2, static_cast<int>(std::min<long>(timeout_ms, 0x7fffffff)));
  if (ready < 0) return errno == EINTR ? 0 : -1;
  return fd >= 0 ? waits[0].revents : 0;
}

int Poll(IPelmoInfo* service, long poll_ms, long seconds, const WatchControl& control,
         const std::string& notice) {
  StopWait wait(control);
  std::set<std::string> seen = ListUsbEntries();
  control.listening(notice);
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  auto next_poll = Clock::now() + std::chrono::milliseconds(poll_ms);
  while (!wait.stopped()) {
    auto now = Clock::now();
    if (seconds && now >= deadline) break;
    if (now < next_poll) {
      auto until = seconds ? std::min(next_poll, deadline) : next_poll;
      wait.Wait(-1, static_cast<long>(std::chrono::ceil<std::chrono::milliseconds>(until - now)
                                          .count()));
      continue;
    }
    next_poll = now + std::chrono::milliseconds(poll_ms);
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
int Watch(IPelmoInfo* service, const WatchOptions& options, const WatchControl& control,
          std::string&) {
  return Poll(service, options.poll_ms > 0 ? options.poll_ms : kDefaultPollMs, options.seconds,
              control, std::string());
}
#endif

}  // namespace watch_internal
}  // namespace mobileinfo
