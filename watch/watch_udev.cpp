// Watching the real bus on Linux: udev announces each USB device added or removed, and the
// watcher forwards the device-change code a Windows host would get from WM_DEVICECHANGE.
// A poll period, and a fake tree named by MOBILEINFO_SYSFS_ROOT (udev knows nothing of it),
// poll instead.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include <libudev.h>

#include "watch_internal.h"

namespace mobileinfo {
namespace watch_internal {
namespace {

constexpr int kStopCheckMs = 100;  // how soon a stop is noticed while no device event comes

// Owns the udev context and its monitor.
class UdevMonitor {
 public:
  ~UdevMonitor() {
    if (monitor_) udev_monitor_unref(monitor_);
    if (udev_) udev_unref(udev_);
  }

  bool Open(std::string& error) {
    udev_ = udev_new();
    if (!udev_) return Failed("cannot create a udev context", error);
    // "udev": events after udevd has processed them (rules applied, device nodes present), as a
    // host that opens the device afterwards needs them; "kernel" would come earlier.
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (!monitor_) return Failed("cannot open the udev monitor", error);
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usb", "usb_device") < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
      return Failed("cannot receive udev events", error);
    }
    return true;
  }

  int fd() const { return udev_monitor_get_fd(monitor_); }

  // The device-change code of the next pending event, 0 for one that is neither.
  uint32_t Receive() {
    udev_device* device = udev_monitor_receive_device(monitor_);
    if (!device) return 0;
    uint32_t code = 0;
    if (const char* action = udev_device_get_action(device)) {
      if (std::strcmp(action, "add") == 0) code = kDeviceArrival;
      if (std::strcmp(action, "remove") == 0) code = kDeviceRemoveComplete;
    }
    udev_device_unref(device);
    return code;
  }

 private:
  static bool Failed(const char* what, std::string& error) {
    error = std::string(what) + ": " + std::strerror(errno ? errno : EIO);
    return false;
  }

  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
};

}  // namespace

int Watch(IPelmoInfo* service, const WatchOptions& options, std::atomic<bool>& stop,
          std::string& error, const Listening& listening) {
  const char* root = std::getenv("MOBILEINFO_SYSFS_ROOT");
  if (options.poll_ms > 0 || (root && *root)) {
    return Poll(service, options.poll_ms > 0 ? options.poll_ms : kDefaultPollMs, options.seconds,
                stop, std::string(), listening);
  }
  const std::string polling =
      "polling the device list every " + std::to_string(kDefaultPollMs) + " ms";
  // Without udevd (containers, chroots) a udev monitor opens fine and stays silent for ever:
  // udevd's control socket tells whether anyone will send events.
  if (access("/run/udev/control", F_OK) != 0) {
    return Poll(service, kDefaultPollMs, options.seconds, stop,
                "udev is not running; " + polling, listening);
  }
  UdevMonitor monitor;
  std::string reason;
  if (!monitor.Open(reason)) {
    // Containers and chroots often give no udev netlink socket; the bus can still be read.
    return Poll(service, kDefaultPollMs, options.seconds, stop,
                reason + "; " + polling + " instead", listening);
  }
  listening(std::string());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.seconds);
  while (!stop) {
    if (options.seconds && std::chrono::steady_clock::now() >= deadline) break;
    pollfd wait{monitor.fd(), POLLIN, 0};
    int ready = poll(&wait, 1, kStopCheckMs);
    if (ready < 0 && errno != EINTR) {
      error = std::string("waiting for udev events failed: ") + std::strerror(errno);
      return 1;
    }
    if (ready > 0 && (wait.revents & (POLLERR | POLLHUP | POLLNVAL))) {
      error = "the udev monitor socket failed";
      return 1;
    }
    if (ready <= 0 || !(wait.revents & POLLIN)) continue;
    if (uint32_t code = monitor.Receive()) service->OnDeviceChange(code, 0);
  }
  return 0;
}

}  // namespace watch_internal
}  // namespace mobileinfo
