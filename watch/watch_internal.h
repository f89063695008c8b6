// What the platform watchers share with the thread that runs them (device_watch.cpp).
#ifndef MOBILEINFO_WATCH_WATCH_INTERNAL_H
#define MOBILEINFO_WATCH_WATCH_INTERNAL_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "mobileinfo/watch.h"

namespace mobileinfo {
namespace watch_internal {

constexpr uint32_t kDevNodesChanged = 0x0007;       // DBT_DEVNODES_CHANGED
constexpr uint32_t kDeviceArrival = 0x8000;         // DBT_DEVICEARRIVAL
constexpr uint32_t kDeviceRemoveComplete = 0x8004;  // DBT_DEVICEREMOVECOMPLETE
constexpr long kDefaultPollMs = 1000;

// Called once by a watcher when it listens, before it waits for the first change; notice says
// why it polls where system notifications were expected, or is empty.
using Listening = std::function<void(const std::string& notice)>;

// The platform's watcher: watch_udev.cpp, watch_windows.cpp, or polling (watch_poll.cpp) on a
// Linux build without libudev. Forwards changes until stop becomes true or the time is up.
int Watch(IPelmoInfo* service, const WatchOptions& options, std::atomic<bool>& stop,
          std::string& error, const Listening& listening);

// Compares the USB device list every poll_ms milliseconds (Linux).
int Poll(IPelmoInfo* service, long poll_ms, long seconds, std::atomic<bool>& stop,
         const std::string& notice, const Listening& listening);

}  // namespace watch_internal
}  // namespace mobileinfo

#endif  // MOBILEINFO_WATCH_WATCH_INTERNAL_H
