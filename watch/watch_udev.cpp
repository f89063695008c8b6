// Watching the real bus on Linux: udev announces each USB device added or removed, and the
// watcher forwards the device-change code a Windows host would get from WM_DEVICECHANGE.
// A poll period, and a fake tree named by MOBILEINFO_SYSFS_ROOT (udev knows nothing of it),
// poll instead.
//
// The thread sleeps until an event or Stop comes: an idle machine is not woken.
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <libudev.h>

#include "watch_internal.h"

namespace mobileinfo {
namespace watch_internal {
namespace {

using Clock = std::chrono::steady_clock;

// A monitor that cannot be opened again after a failure is tried again this often.
constexpr long kReopenRetryMs = 1000;
// After a removal whose device was still in sysfs, when to look whether it has gone.
constexpr long kRemovalLooksMs[] = {50, 250};

struct Received {
  uint32_t code = 0;     // the device-change code, 0 for an event that is neither
  std::string syspath;   // of the device
  bool overflow = false; // the socket's buffer overflowed: events were lost
};

// Owns the udev context and its monitor.
class UdevMonitor {
 public:
  ~UdevMonitor() { Close(); }

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

  void Close() {
    if (monitor_) udev_monitor_unref(monitor_);
    if (udev_) udev_unref(udev_);
    monitor_ = nullptr;
    udev_ = nullptr;
  }

  int fd() const { return monitor_ ? udev_monitor_get_fd(monitor_) : -1; }

  Received Receive() {
    Received received;
    errno = 0;
    udev_device* device = udev_monitor_receive_device(monitor_);
    if (!device) {
      received.overflow = errno == ENOBUFS;
      return received;
    }
    if (const char* action = udev_device_get_action(device)) {
      if (std::strcmp(action, "add") == 0) received.code = kDeviceArrival;
      if (std::strcmp(action, "remove") == 0) received.code = kDeviceRemoveComplete;
    }
    if (const char* syspath = udev_device_get_syspath(device)) received.syspath = syspath;
    udev_device_unref(device);
    return received;
  }

 private:
  bool Failed(const char* what, std::string& error) {
    error = std::string(what) + ": " + std::strerror(errno ? errno : EIO);
    Close();
    return false;
  }

  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
};

// The kernel sends a device's remove event before it takes the device out of sysfs, so the scan
// that the forwarded code starts may still find it there, and then nothing would ever look
// again. A removal whose device was still there is forwarded once more when the device has
// gone, looked at kRemovalLooksMs after the event. A burst of removals, which the kernel and
// udevd may take a while to work through, is looked at after its last event, and again after
// each look that saw one of its devices go; a device still there after its last look is left to
// the next change.
class RemovalLooks {
 public:
  void Add(std::string syspath, Clock::time_point event) {
    for (Pending& p : pending_) p.Restart(event);
    pending_.push_back({std::move(syspath), event, 0});
  }

  // Milliseconds until the next look; -1 for none.
  long NextMs(Clock::time_point now) const {
    long next = -1;
    for (const Pending& p : pending_) {
      auto due = p.event + std::chrono::milliseconds(kRemovalLooksMs[p.looks]);
      long ms = std::max<long>(
          0, static_cast<long>(std::chrono::ceil<std::chrono::milliseconds>(due - now).count()));
      if (next < 0 || ms < next) next = ms;
    }
    return next;
  }

  // Looks at the removals that are due. True when one of them has left sysfs.
  bool Look(Clock::time_point now) {
    bool gone = false;
    for (auto p = pending_.begin(); p != pending_.end();) {
      if (now < p->event + std::chrono::milliseconds(kRemovalLooksMs[p->looks])) {
        ++p;
        continue;
      }
      struct stat info;
      const bool left = stat(p->syspath.c_str(), &info) != 0;
      gone = gone || left;
      if (left || ++p->looks == std::size(kRemovalLooksMs)) {
        p = pending_.erase(p);
      } else {
        ++p;
      }
    }
    if (gone) {
      for (Pending& p : pending_) p.Restart(now);
    }
    return gone;
  }

 private:
  struct Pending {
    std::string syspath;
    Clock::time_point event;
    size_t looks;
    void Restart(Clock::time_point from) {
      event = from;
      looks = 0;
    }
  };
  std::vector<Pending> pending_;
};

long MinTimeout(long a, long b) { return a < 0 ? b : b < 0 ? a : std::min(a, b); }

}  // namespace

int Watch(IPelmoInfo* service, const WatchOptions& options, const WatchControl& control,
          std::string& error) {
  const char* root = std::getenv("MOBILEINFO_SYSFS_ROOT");
  if (options.poll_ms > 0 || (root && *root)) {
    return Poll(service, options.poll_ms > 0 ? options.poll_ms : kDefaultPollMs, options.seconds,
                control, std::string());
  }
  const std::string polling =
      "polling the device list every " + std::to_string(kDefaultPollMs) + " ms";
  // Without udevd (containers, chroots) a udev monitor opens fine and stays silent for ever:
  // udevd's control socket tells whether anyone will send events.
  const UdevSeams* seams = control.seams;
  const std::string udevd_sign = seams && !seams->control_path.empty() ? seams->control_path
                                                                      : "/run/udev/control";
  if (access(udevd_sign.c_str(), F_OK) != 0) {
    return Poll(service, kDefaultPollMs, options.seconds, control,
                "udev is not running; " + polling);
  }
  UdevMonitor monitor;
  std::string reason;
  if (!monitor.Open(reason)) {
    // Containers and chroots often give no udev netlink socket; the bus can still be read.
    return Poll(service, kDefaultPollMs, options.seconds, control,
                reason + "; " + polling + " instead");
  }
  StopWait wait(control);
  control.listening(std::string());
  const auto deadline = Clock::now() + std::chrono::seconds(options.seconds);
  RemovalLooks looks;
  while (!wait.stopped()) {
    auto now = Clock::now();
    if (options.seconds && now >= deadline) break;
    long timeout = looks.NextMs(now);
    if (options.seconds) {
      timeout = MinTimeout(timeout, static_cast<long>(
          std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count()));
    }
    if (monitor.fd() < 0) {
      // Lost and not yet back: try again, and rescan once it is, for what came and went meanwhile.
      if (!monitor.Open(reason)) {
        wait.Wait(-1, MinTimeout(timeout, kReopenRetryMs));
        continue;
      }
      service->OnDeviceChange(kDevNodesChanged, 0);
    }
    int events = wait.Wait(monitor.fd(), timeout);
    if (events < 0) {
      error = std::string("waiting for udev events failed: ") + std::strerror(errno);
      return 1;
    }
    if (seams && seams->socket_events) events = seams->socket_events(static_cast<short>(events));
    Received received;
    if (events & (POLLERR | POLLHUP | POLLNVAL)) {
      // A burst of events overflows the socket's buffer (ENOBUFS, seen as POLLERR): events are
      // lost, and the socket is dropped for a new one.
      received.overflow = true;
    } else if (events & POLLIN) {
      received = monitor.Receive();
    }
    if (received.overflow) {
      monitor.Close();
      continue;
    }
    now = Clock::now();
    if (received.code) {
      service->OnDeviceChange(received.code, 0);
      struct stat info;
      if (received.code == kDeviceRemoveComplete && !received.syspath.empty() &&
          stat(received.syspath.c_str(), &info) == 0) {
        looks.Add(received.syspath, now);
      }
    }
    if (looks.Look(now)) service->OnDeviceChange(kDeviceRemoveComplete, 0);
  }
  return 0;
}

}  // namespace watch_internal
}  // namespace mobileinfo
