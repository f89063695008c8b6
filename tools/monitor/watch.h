// How the sample host learns of device changes: each platform's watcher forwards them to the
// service's OnDeviceChange until asked to stop.
#ifndef MOBILEINFO_TOOLS_MONITOR_WATCH_H
#define MOBILEINFO_TOOLS_MONITOR_WATCH_H

#include <atomic>
#include <string>

#include "mobileinfo/mobileinfo.h"

struct WatchOptions {
  long poll_ms = 0;      // > 0: poll the device list instead of system notifications
  long seconds = 0;      // > 0: stop by itself after this long
};

// Forwards device changes to service->OnDeviceChange until stop becomes true or the time is up.
// Returns 0, or non-zero with a one-line message in error when watching cannot start.
int WatchDevices(IPelmoInfo* service, const WatchOptions& options, std::atomic<bool>& stop,
                 std::string& error);

// The same by polling the USB device list every poll_ms milliseconds (watch_poll.cpp), for
// watchers that have no notifications to wait for. Builds without a native watcher
// (MONITOR_NATIVE_WATCHER undefined) get a WatchDevices that polls, every 1000 ms by default.
int PollDevices(IPelmoInfo* service, long poll_ms, long seconds, std::atomic<bool>& stop,
                std::string& error);

#endif  // MOBILEINFO_TOOLS_MONITOR_WATCH_H
