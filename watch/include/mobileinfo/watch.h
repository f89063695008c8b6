// Forwarding the machine's device changes to the service, the loop every host needs: on Linux a
// udev monitor (polling the sysfs USB device list when udev is not running), on Windows a
// message-only window registered with RegisterDeviceNotificationW. Each change reaches
// service->OnDeviceChange with the codes WM_DEVICECHANGE carries (7, 0x8000, 0x8004, ...); the
// library decides which of them mean a rescan.
//
//   std::string error;
//   auto watch = mobileinfo::DeviceWatch::Start(service, {}, &error);  // after service->Start()
//   ...
//   watch->Stop();                                                     // before service->Stop()
//
// Link the static library mobileinfo_watch (CMake: mobileinfo::mobileinfo_watch). It calls the
// service through its table only, so it serves a host that loads the library at run time too.
#ifndef MOBILEINFO_WATCH_H
#define MOBILEINFO_WATCH_H

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "mobileinfo/mobileinfo.h"

namespace mobileinfo {

struct WatchOptions {
  // > 0: look at the USB device list every poll_ms milliseconds instead of waiting for udev
  // (Linux); forward code 7 (DBT_DEVNODES_CHANGED) every poll_ms milliseconds besides the
  // notifications (Windows).
  long poll_ms = 0;
  // > 0: stop by itself after this many seconds.
  long seconds = 0;
  // DeviceWatch only: called on the watch's thread when the watch ends by itself (its time is
  // up, its window was closed, or it failed), never after Stop was called. Lets a host wait for
  // that without polling Finished().
  std::function<void()> ended;
};

#if defined(_WIN32)
// The class of the Windows watcher's window, for FindWindowExW(HWND_MESSAGE, ...): a device
// change sent there reaches the service, WM_CLOSE posted there ends the watch.
constexpr wchar_t kWatchWindowClass[] = L"MobileInfoMonitorWindow";
#endif

// Watches on a thread of its own from Start until Stop (or the destructor). Waiting for udev or
// for window messages, the thread sleeps until a device changes or Stop wakes it.
class DeviceWatch {
 public:
  // Returns once the watch is listening, so that no change after the return is missed; null
  // when it cannot start, with the reason in *error when given.
  static std::unique_ptr<DeviceWatch> Start(IPelmoInfo* service,
                                            const WatchOptions& options = WatchOptions(),
                                            std::string* error = nullptr);
  ~DeviceWatch();
  DeviceWatch(const DeviceWatch&) = delete;
  DeviceWatch& operator=(const DeviceWatch&) = delete;

  // Ends the watch and waits for its thread; no OnDeviceChange call comes after the return.
  // Returns 0, or non-zero when watching failed on the way (then error() says why).
  int Stop();
  // Whether the watch ended by itself: its time was up, its window was closed, or it failed.
  bool Finished() const;
  // Why the device list is polled where system notifications were expected (no udev daemon,
  // no udev socket), for the host to show; empty otherwise.
  const std::string& notice() const;
  // Why watching failed; read it after Finished() or Stop().
  const std::string& error() const;

 private:
  struct State;
  explicit DeviceWatch(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// The same on the calling thread, for a host that has one to give: forwards device changes
// until stop becomes true or the time is up. Setting stop wakes nobody, so the flag is looked at
// every 100 ms. Returns 0, or non-zero with a one-line message in error when watching cannot
// start or fails.
int WatchDevices(IPelmoInfo* service, const WatchOptions& options, std::atomic<bool>& stop,
                 std::string& error);

}  // namespace mobileinfo

#endif  // MOBILEINFO_WATCH_H
