// The service's three events, with the semantics of their Win32 counterparts: the stop and notify
// events are manual-reset, the rescan event auto-reset (a wait that takes it clears it). All three
// share one mutex and condition variable so that a thread can wait for "either of two" in order,
// as WaitForMultipleObjects does. The set lives from Init to Stop in the service; a worker thread
// holds its own reference, so a thread that outlives Stop never touches a destroyed event.
#ifndef MOBILEINFO_SERVICE_EVENTS_H
#define MOBILEINFO_SERVICE_EVENTS_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <mutex>

namespace mobileinfo {

class ServiceEvents {
 public:
  enum Id { kStop = 0, kRescan = 1, kNotify = 2, kCount = 3 };
  static constexpr int kTimeout = -1;
  static constexpr uint32_t kInfinite = 0xFFFFFFFF;

  void Set(Id id) {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_[id] = true;
    changed_.notify_all();
  }
  void Reset(Id id) {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_[id] = false;
  }
  // A zero-time-out wait that consumes nothing: for the manual-reset events.
  bool IsSet(Id id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return signalled_[id];
  }
  // Waits until one of the events is signalled; returns the first signalled one in list order
  // (consuming it if it is auto-reset), or kTimeout.
  int WaitAny(std::initializer_list<Id> ids, uint32_t timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      for (Id id : ids) {
        if (signalled_[id]) {
          if (id == kRescan) signalled_[id] = false;
          return id;
        }
      }
      if (timeout_ms == kInfinite) {
        changed_.wait(lock);
      } else if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
        for (Id id : ids) {
          if (signalled_[id]) {
            if (id == kRescan) signalled_[id] = false;
            return id;
          }
        }
        return kTimeout;
      }
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool signalled_[kCount] = {false, false, false};
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_SERVICE_EVENTS_H
