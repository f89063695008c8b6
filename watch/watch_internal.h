// What the platform watchers share with the thread that runs them (device_watch.cpp).
#ifndef MOBILEINFO_WATCH_WATCH_INTERNAL_H
#define MOBILEINFO_WATCH_WATCH_INTERNAL_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "mobileinfo/watch.h"

namespace mobileinfo {
namespace watch_internal {

constexpr uint32_t kDevNodesChanged = 0x0007;       // DBT_DEVNODES_CHANGED
constexpr uint32_t kDeviceArrival = 0x8000;         // DBT_DEVICEARRIVAL
constexpr uint32_t kDeviceRemoveComplete = 0x8004;  // DBT_DEVICEREMOVECOMPLETE
constexpr long kDefaultPollMs = 1000;
// How often a watcher that nobody wakes looks at its stop flag (WatchDevices: the flag is the
// host's, and setting it wakes nobody).
constexpr long kStopCheckMs = 100;

// Called once by a watcher when it listens, before it waits for the first change; notice says
// why it polls where system notifications were expected, or is empty.
using Listening = std::function<void(const std::string& notice)>;

// Lets Stop wake a watcher that sleeps until the next device change. The watcher sets the wake
// function once it waits and clears it before what the function touches goes away; Stop sets
// the stop flag, then calls Wake. Both under one lock, so Wake never reaches a closed handle.
class Waker {
 public:
  void Set(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(mutex_);
    wake_ = std::move(wake);
  }
  void Wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (wake_) wake_();
  }

 private:
  std::mutex mutex_;
  std::function<void()> wake_;  // guarded by mutex_
};

// Test seams of the udev watcher; a host's watch leaves them empty.
struct UdevSeams {
  // The file whose presence tells that udevd runs; empty: "/run/udev/control".
  std::string control_path;
  // Fault injection: gets the events of each wait on the monitor socket (poll's revents) and
  // returns those the watcher acts on.
  std::function<short(short revents)> socket_events;
};

// What a watcher gets from the thread that runs it.
struct WatchControl {
  std::atomic<bool>& stop;         // the watcher ends once it is true
  Waker* waker;                    // woken after stop is set; null: look at stop every kStopCheckMs
  Listening listening;
  const UdevSeams* seams = nullptr;
};

// The platform's watcher: watch_udev.cpp, watch_windows.cpp, or polling (watch_poll.cpp) on a
// Linux build without libudev. Forwards changes until stop becomes true or the time is up.
int Watch(IPelmoInfo* service, const WatchOptions& options, const WatchControl& control,
          std::string& error);

#if !defined(_WIN32)
// Compares the USB device list every poll_ms milliseconds (Linux).
int Poll(IPelmoInfo* service, long poll_ms, long seconds, const WatchControl& control,
         const std::string& notice);

// A Linux watcher's one way to wait: for its socket, for Stop (through an eventfd the waker
// writes), or for a time-out. Without a waker, or without an eventfd, the stop flag is looked at
// every kStopCheckMs instead.
class StopWait {
 public:
  explicit StopWait(const WatchControl& control);
  ~StopWait();
  StopWait(const StopWait&) = delete;
  StopWait& operator=(const StopWait&) = delete;

  // Waits until fd (-1: none) has an event, Stop was called, or timeout_ms passed (< 0: no
  // limit). Returns fd's poll events, 0 when it returned for another reason, -1 (errno set)
  // when poll itself failed.
  int Wait(int fd, long timeout_ms);
  bool stopped() const { return control_.stop; }

 private:
  const WatchControl& control_;
  int wake_fd_ = -1;
};
#endif

}  // namespace watch_internal
}  // namespace mobileinfo

#endif  // MOBILEINFO_WATCH_WATCH_INTERNAL_H
